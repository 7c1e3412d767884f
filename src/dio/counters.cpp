// SPDX-License-Identifier: MIT
// Input counters: one register that reads as the counter table and is
// written as a clear mask.
#include "../internal.h"

#include <algorithm>

namespace kdx {

namespace {

using module_map::kClearBlock;
using module_map::kClearHigh;
using module_map::kClearLow;
using module_map::kCounterBytes;
using module_map::kCounterTable;
// The table and the clear mask have room for 64 inputs.
constexpr unsigned kMaxCounters = KDX7400_MAX_CHANNELS;

} // namespace

Result read_counters(const module_slot &module, unsigned count, uint32_t *values) {
    std::array<uint8_t, kCounterTable> table{};
    if (const Result result =
            read_block(module.fd, LBA_DI_COUNTER, table, Reply::Validate)) {
        return result;
    }
    for (std::size_t n = 0; n < count; ++n) {
        values[n] = kdx::load_le<uint32_t>(&table[kPayload + kCounterBytes * n]);
    }
    return RESULT_OK;
}

} // namespace kdx

extern "C" {

int16_t KDX7400_DI_ReadCounterValue(int32_t index, uint32_t *values, uint8_t count) {
    if (values == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    const module_slot &module = hold.module();
    if (count != module.di_total || module.di_total > kdx::kMaxCounters) {
        return RESULT_INVALID_PARAM;
    }
    return kdx::read_counters(module, module.di_total, values);
}

int16_t KDX7400_DI_ReadChannelCounter(int32_t index, uint8_t channel, uint32_t *value) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    const module_slot &module = hold.module();
    if (channel >= module.di_total || channel >= kdx::kMaxCounters) {
        return RESULT_INVALID_PARAM;
    }
    if (value == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    // A module beyond 64 inputs still serves its first 64 counters.
    const unsigned count = std::min<unsigned>(module.di_total, kdx::kMaxCounters);
    std::array<uint32_t, kdx::kMaxCounters> counters{};
    if (const kdx::Result result = kdx::read_counters(module, count, counters.data())) {
        return result;
    }
    *value = counters[channel];
    return RESULT_OK;
}

int16_t KDX7400_DI_ClearCounter(int32_t index, uint64_t mask) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    const module_slot &module = hold.module();
    auto block = kdx::new_block<kdx::kClearBlock>();
    kdx::store_le<uint32_t>(&block[kdx::kClearLow], static_cast<uint32_t>(mask));
    if (module.di_total > 32) {
        kdx::store_le<uint32_t>(&block[kdx::kClearHigh], static_cast<uint32_t>(mask >> 32));
    }
    return kdx::write_block(module.fd, LBA_DI_COUNTER, block);
}

int16_t KDX7400_DI_ClearCounterChannel(int32_t index, uint8_t channel) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    if (channel >= hold.module().di_total || channel >= kdx::kMaxCounters) {
        return RESULT_INVALID_PARAM;
    }
    return KDX7400_DI_ClearCounter(index, uint64_t{1} << channel);
}

int16_t KDX7400_DI_ClearSingleCounter(int32_t index, unsigned int channel) {
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Write)) {
        return result;
    }
    // Such a channel names no bit of the 64-bit mask.
    if (channel >= kdx::kMaxCounters) {
        return RESULT_INVALID_PARAM;
    }
    return KDX7400_DI_ClearCounter(index, uint64_t{1} << channel);
}

} // extern "C"
