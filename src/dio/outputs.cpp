// SPDX-License-Identifier: MIT
// Output value, power-on value and output inversion. The value and the
// power-on registers share one layout; only the register and the messages
// of the single-channel writer tell the two families apart.
#include "../internal.h"

#include <cstdio>

namespace kdx {

namespace {

constexpr std::size_t kMaskBlock = module_map::kMaskBlock;

enum class Messages { Print, Silent };

Result write_mask(int32_t index, uint32_t lba, uint64_t mask) {
    Hold hold;
    if (const Result result = hold.take(index, Access::Write)) {
        return result;
    }
    const module_slot &module = hold.module();
    auto block = new_block<kMaskBlock>();
    write_by_width(block.data(), kPayload, module.do_total, mask);
    return write_block(module.fd, lba, block);
}

// Read, change the selected bits, flip those in flip, write back the block
// as read: the module's lock is held from before the read to after the
// write, so no other user's update lands in between and is undone.
Result update_mask(const Hold &hold, uint32_t lba, uint64_t select, uint64_t value,
                   Messages messages, uint64_t *written = nullptr, uint64_t flip = 0) {
    const module_slot &module = hold.module();
    std::array<uint8_t, kMaskBlock> block{};
    if (const Result result = read_block(module.fd, lba, block, Reply::Validate)) {
        if (result == RESULT_READ_FAILED && messages == Messages::Print) {
            std::puts("read error");
        }
        return result;
    }
    const uint64_t mask = read_by_width(block.data(), kPayload, module.do_total);
    write_by_width(block.data(), kPayload, module.do_total, ((mask & ~select) | (value & select)) ^ flip);
    if (const Result result = write_block(module.fd, lba, block)) {
        if (messages == Messages::Print) {
            std::puts("write error");
        }
        return result;
    }
    if (written != nullptr) {
        *written = read_by_width(block.data(), kPayload, module.do_total);
    }
    return RESULT_OK;
}

Result write_mask_channel(int32_t index, uint32_t lba, uint8_t channel, uint8_t state,
                          Messages messages) {
    if (channel > 63 || state > 1) {
        return RESULT_INVALID_PARAM;
    }
    Hold hold;
    if (const Result result = hold.take(index, Access::Write)) {
        return result;
    }
    const uint64_t bit = uint64_t{1} << channel;
    return update_mask(hold, lba, bit, state != 0 ? bit : 0, messages);
}

Result read_mask(const module_slot &module, uint32_t lba, uint64_t *mask) {
    std::array<uint8_t, kMaskBlock> block{};
    if (const Result result = read_block(module.fd, lba, block, Reply::Validate)) {
        return result;
    }
    *mask = read_by_width(block.data(), kPayload, module.do_total);
    return RESULT_OK;
}

} // namespace

} // namespace kdx

extern "C" {

int16_t KDX7400_DO_WriteValue(int32_t index, uint64_t mask) {
    return kdx::write_mask(index, LBA_DO_VALUE, mask);
}

int16_t KDX7400_DO_WriteChannel(int32_t index, uint8_t channel, uint8_t state) {
    return kdx::write_mask_channel(index, LBA_DO_VALUE, channel, state, kdx::Messages::Print);
}

int16_t KDX7400_DO_WriteMaskedValue(int32_t index, uint64_t mask, uint64_t value) {
    return KDX7400_DO_UpdateValue(index, mask, value, nullptr);
}

int16_t KDX7400_DO_UpdateValue(int32_t index, uint64_t mask, uint64_t value, uint64_t *outputs) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    if (kdx::names_missing_channel(mask | value, hold.module().do_total)) {
        return RESULT_INVALID_PARAM;
    }
    return kdx::update_mask(hold, LBA_DO_VALUE, mask, value, kdx::Messages::Silent, outputs);
}

int16_t KDX7400_DO_ToggleValue(int32_t index, uint64_t mask, uint64_t *outputs) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    if (kdx::names_missing_channel(mask, hold.module().do_total)) {
        return RESULT_INVALID_PARAM;
    }
    return kdx::update_mask(hold, LBA_DO_VALUE, 0, 0, kdx::Messages::Silent, outputs, mask);
}

int16_t KDX7400_DO_ReadValue(int32_t index, uint64_t *mask) {
    if (mask == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    return kdx::read_mask(hold.module(), LBA_DO_VALUE, mask);
}

int16_t KDX7400_DO_SetPowerOnEnable(int32_t index, uint64_t mask) {
    return kdx::write_mask(index, LBA_DO_POWER_ON, mask);
}

int16_t KDX7400_DO_SetPowerOnEnableToChannel(int32_t index, uint8_t channel, uint8_t state) {
    return kdx::write_mask_channel(index, LBA_DO_POWER_ON, channel, state,
                                   kdx::Messages::Silent);
}

int16_t KDX7400_DO_GetPowerOnEnable(int32_t index, uint64_t *mask) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    if (mask == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    return kdx::read_mask(hold.module(), LBA_DO_POWER_ON, mask);
}

int16_t KDX7400_DO_SetInverse(int32_t index, uint8_t inverse) {
    return kdx::set_byte_register(index, LBA_DO_INVERSE, inverse);
}

int16_t KDX7400_DO_GetInverse(int32_t index, uint8_t *inverse) {
    return kdx::get_byte_register(index, LBA_DO_INVERSE, kdx::Reply::Accept, inverse);
}

} // extern "C"
