// SPDX-License-Identifier: MIT
// The two safety masks of the outputs. Modules with at most 32 outputs
// keep them side by side; larger ones interleave their 32-bit halves.
#include "../internal.h"

namespace kdx {

namespace {

using module_map::kSafetyBlock;
constexpr std::size_t kFirstLow = module_map::kSafetyFirstLow;
constexpr std::size_t kSecondLow = module_map::kSafetySecondLow;
constexpr std::size_t kFirstHigh = module_map::kSafetyFirstHigh;
constexpr std::size_t kSecondHigh = module_map::kSafetySecondHigh;

bool wide_layout(const module_slot &module) { return get_do_block_size(module.do_total) == 64; }

// The narrow fields follow the channel width for 8 and 16 outputs and are
// 4 bytes for every other count up to 32.
unsigned narrow_count(const module_slot &module) {
    return module.do_total == 8 || module.do_total == 16 ? module.do_total : 32;
}

void encode_masks(const module_slot &module, uint8_t *block, uint64_t first, uint64_t second) {
    if (wide_layout(module)) {
        kdx::store_le<uint32_t>(block + kFirstLow, static_cast<uint32_t>(first));
        kdx::store_le<uint32_t>(block + kSecondLow, static_cast<uint32_t>(second));
        kdx::store_le<uint32_t>(block + kFirstHigh, static_cast<uint32_t>(first >> 32));
        kdx::store_le<uint32_t>(block + kSecondHigh, static_cast<uint32_t>(second >> 32));
    } else {
        write_by_width(block, kFirstLow, narrow_count(module), first);
        write_by_width(block, kSecondLow, narrow_count(module), second);
    }
}

void decode_masks(const module_slot &module, const uint8_t *block, uint64_t &first,
                  uint64_t &second) {
    if (wide_layout(module)) {
        first = kdx::load_le<uint32_t>(block + kFirstLow) | uint64_t{kdx::load_le<uint32_t>(block + kFirstHigh)} << 32;
        second = kdx::load_le<uint32_t>(block + kSecondLow) | uint64_t{kdx::load_le<uint32_t>(block + kSecondHigh)} << 32;
    } else {
        first = read_by_width(block, kFirstLow, narrow_count(module));
        second = read_by_width(block, kSecondLow, narrow_count(module));
    }
}

Result read_safety(const module_slot &module, std::array<uint8_t, kSafetyBlock> &block) {
    return read_block(module.fd, LBA_DO_SAFETY, block, Reply::Validate);
}

void change_bit(uint8_t *word, unsigned bit, uint8_t state) {
    const uint32_t mask = uint32_t{1} << bit;
    const uint32_t value = kdx::load_le<uint32_t>(word);
    kdx::store_le<uint32_t>(word, state != 0 ? (value | mask) : (value & ~mask));
}

} // namespace

} // namespace kdx

extern "C" {

int16_t KDX7400_DO_SetSafetyEnable(int32_t index, uint64_t first, uint64_t second) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    const module_slot &module = hold.module();
    auto block = kdx::new_block<kdx::kSafetyBlock>();
    kdx::encode_masks(module, block.data(), first, second);
    return kdx::write_block(module.fd, LBA_DO_SAFETY, block);
}

int16_t KDX7400_DO_SetSafetyEnableChannel(int32_t index, uint8_t channel, uint8_t first_bit,
                                          uint8_t second_bit) {
    if (channel > 63 || first_bit > 1 || second_bit > 1) {
        return RESULT_INVALID_PARAM;
    }
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    const module_slot &module = hold.module();
    std::array<uint8_t, kdx::kSafetyBlock> block{};
    if (const kdx::Result result = kdx::read_safety(module, block)) {
        return result;
    }
    // Both layouts agree on where a channel's bits sit in 32-bit words.
    const std::size_t first_word = channel < 32 ? kdx::kFirstLow : kdx::kFirstHigh;
    const std::size_t second_word = channel < 32 ? kdx::kSecondLow : kdx::kSecondHigh;
    kdx::change_bit(&block[first_word], channel % 32u, first_bit);
    kdx::change_bit(&block[second_word], channel % 32u, second_bit);
    return kdx::write_block(module.fd, LBA_DO_SAFETY, block);
}

int16_t KDX7400_DO_GetSafetyEnable(int32_t index, uint64_t *first, uint64_t *second) {
    if (first == nullptr || second == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    const module_slot &module = hold.module();
    std::array<uint8_t, kdx::kSafetyBlock> block{};
    if (const kdx::Result result = kdx::read_safety(module, block)) {
        return result;
    }
    kdx::decode_masks(module, block.data(), *first, *second);
    return RESULT_OK;
}

} // extern "C"
