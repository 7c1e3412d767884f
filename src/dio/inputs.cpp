// SPDX-License-Identifier: MIT
// Input states, input filter, input inversion and counter edge.
#include "../internal.h"

namespace kdx {

namespace {

// Through the widest (8-byte) input field.
constexpr std::size_t kInputOffset = module_map::kInputLevels;
constexpr std::size_t kInputBlock = kInputOffset + 8;
constexpr std::size_t kFilterBlock = module_map::kFilterBlock;
// Input values are 64 bits wide; higher channels name no bit.
constexpr unsigned kMaxChannels = KDX7400_MAX_CHANNELS;

// The 0-or-1 settings test their value between the index and open tests.
Result set_flag(int32_t index, uint32_t lba, uint8_t value) {
    Hold hold;
    if (const Result result = hold.take_slot(index, Access::Write)) {
        return result;
    }
    if (value > 1) {
        return RESULT_INVALID_PARAM;
    }
    if (const Result result = check_open(index)) {
        return result;
    }
    return write_byte(hold.fd(), lba, value);
}

} // namespace

Result read_inputs(const module_slot &module, uint64_t &value) {
    std::array<uint8_t, kInputBlock> block{};
    if (const Result result = read_block(module.fd, LBA_MODULE_INFO, block, Reply::Validate)) {
        return result;
    }
    value = read_by_width(block.data(), kInputOffset, module.di_total);
    return RESULT_OK;
}

} // namespace kdx

extern "C" {

int16_t KDX7400_DI_ReadValue(int32_t index, uint64_t *value) {
    if (value == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    return kdx::read_inputs(hold.module(), *value);
}

int16_t KDX7400_DI_ReadChannel(int32_t index, uint8_t channel, uint8_t *state) {
    if (state == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    if (channel >= hold.module().di_total || channel >= kdx::kMaxChannels) {
        return RESULT_INVALID_PARAM;
    }
    uint64_t value = 0;
    if (const kdx::Result result = KDX7400_DI_ReadValue(index, &value)) {
        return result;
    }
    *state = static_cast<uint8_t>((value >> channel) & 1u);
    return RESULT_OK;
}

int16_t KDX7400_DI_SetFilter(int32_t index, uint16_t filter) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    auto block = kdx::new_block<kdx::kFilterBlock>();
    kdx::store_le<uint16_t>(&block[kdx::kPayload], filter);
    return kdx::write_block(hold.fd(), LBA_DI_FILTER, block);
}

int16_t KDX7400_DI_GetFilter(int32_t index, uint16_t *filter) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    if (filter == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    std::array<uint8_t, kdx::kFilterBlock> block{};
    if (const kdx::Result result =
            kdx::read_block(hold.fd(), LBA_DI_FILTER, block, kdx::Reply::Validate)) {
        return result;
    }
    *filter = kdx::load_le<uint16_t>(&block[kdx::kPayload]);
    return RESULT_OK;
}

int16_t KDX7400_DI_SetInverse(int32_t index, uint8_t inverse) {
    return kdx::set_flag(index, LBA_DI_INVERSE, inverse);
}

int16_t KDX7400_DI_GetInverse(int32_t index, uint8_t *inverse) {
    return kdx::get_byte_register(index, LBA_DI_INVERSE, kdx::Reply::Validate, inverse);
}

int16_t KDX7400_DI_SetCntEdgeTrigger(int32_t index, uint8_t edge) {
    return kdx::set_flag(index, LBA_DI_CNT_EDGE, edge);
}

int16_t KDX7400_DI_GetCntEdgeTrigger(int32_t index, uint8_t *edge) {
    return kdx::get_byte_register(index, LBA_DI_CNT_EDGE, kdx::Reply::Validate, edge);
}

} // extern "C"
