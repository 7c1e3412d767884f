// SPDX-License-Identifier: MIT
// Input sampling: the levels and the counters, compared with the caller's
// previous sample. The counters see every counted edge in hardware, so a
// pulse shorter than the sampling interval is still reported.
#include "../internal.h"

#include <algorithm>
#include <ctime>

namespace kdx {

namespace {

constexpr unsigned kMaxChannels = KDX7400_MAX_CHANNELS;

uint64_t all_of(unsigned channels) {
    return channels >= kMaxChannels ? ~uint64_t{0} : (uint64_t{1} << channels) - 1;
}

// The counted edges a change of level from before to now accounts for.
uint64_t seen_counted_edges(uint64_t before, uint64_t now, uint8_t edge) {
    return edge == 0 ? ~before & now : before & ~now;
}

// Seconds since boot, suspend included: a self-powered module may count
// through the host's sleep.
uint32_t seconds_since_boot() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<uint32_t>(now.tv_sec);
}

// The pulses a counter took from before to now, `seconds` apart. One that
// went down was cleared and counts from zero, unless the time could hold
// all the pulses a wrap would mean: reading every decrease as a wrap
// turned a clear into some four billion pulses.
uint32_t pulses_between(uint32_t before, uint32_t now, uint32_t seconds, bool &cleared) {
    const uint32_t across_a_wrap = now - before;
    cleared = now < before && uint64_t{across_a_wrap} > (uint64_t{seconds} + 1) * KDX7400_COUNT_RATE_MAX;
    return cleared ? now : across_a_wrap;
}

} // namespace

} // namespace kdx

extern "C" int16_t KDX7400_DI_Sample(int32_t index, kdx7400_input_state *state,
                                     kdx7400_input_events *events) {
    uint64_t cleared = 0;
    return KDX7400_DI_SampleClears(index, state, events, &cleared);
}

extern "C" int16_t KDX7400_DI_SampleClears(int32_t index, kdx7400_input_state *state,
                                           kdx7400_input_events *events, uint64_t *cleared) {
    if (state == nullptr || events == nullptr || cleared == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    // Both reads in one hold: no other thread's command lands between.
    // Another program's may: it could not make the pair exact anyway, as
    // the inputs move in hardware between the two reads.
    kdx::Hold hold;
    if (const kdx::Result result = hold.take(index, kdx::Access::Read)) {
        return result;
    }
    const module_slot &module = hold.module();
    const unsigned channels = std::min<unsigned>(module.di_total, kdx::kMaxChannels);
    uint64_t levels = 0;
    if (const kdx::Result result = kdx::read_inputs(module, levels)) {
        return result;
    }
    std::array<uint32_t, kdx::kMaxChannels> counters{};
    if (const kdx::Result result = kdx::read_counters(module, channels, counters.data())) {
        return result;
    }
    levels &= kdx::all_of(channels);
    const uint32_t now = kdx::seconds_since_boot();
    kdx7400_input_events found{};
    uint64_t found_cleared = 0;
    found.levels = levels;
    // A first sample, or one of a module with other channels, is a start.
    if (state->sampled != 0 && state->channels == channels) {
        found.changed = levels ^ state->levels;
        const uint64_t seen = kdx::seen_counted_edges(state->levels, levels, state->edge);
        for (unsigned n = 0; n < channels; ++n) {
            bool was_cleared = false;
            found.pulses[n] = kdx::pulses_between(state->counters[n], counters[n], now - state->sampled_at, was_cleared);
            found_cleared |= uint64_t{was_cleared} << n;
            const uint32_t explained = (seen >> n) & 1u;
            if (found.pulses[n] > explained) {
                found.unseen |= uint64_t{1} << n;
            }
        }
    }
    *events = found;
    *cleared = found_cleared;
    state->levels = levels;
    state->sampled_at = now;
    std::copy(counters.begin(), counters.end(), state->counters);
    state->channels = static_cast<uint8_t>(channels);
    state->sampled = 1;
    return RESULT_OK;
}

extern "C" int16_t KDX7400_DI_BeginSampling(int32_t index, kdx7400_input_state *state) {
    if (state == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    uint8_t edge = 0, inverse = 0;
    if (const int16_t result = KDX7400_DI_GetCntEdgeTrigger(index, &edge)) {
        return result;
    }
    if (const int16_t result = KDX7400_DI_GetInverse(index, &inverse)) {
        return result;
    }
    *state = kdx7400_input_state{};
    state->edge = static_cast<uint8_t>((edge ^ inverse) & 1u);
    return RESULT_OK;
}

extern "C" int16_t KDX7400_DI_EventRecords(const kdx7400_input_events *events, uint8_t channels,
                                           kdx7400_input_record *records, size_t capacity, size_t *count) {
    if (events == nullptr || count == nullptr || (records == nullptr && capacity > 0)) {
        return RESULT_INVALID_PARAM;
    }
    std::size_t found = 0;
    const auto add = [&](unsigned channel, uint8_t kind, uint32_t pulses) {
        if (found < capacity) records[found] = {static_cast<uint8_t>(channel), kind, pulses};
        ++found;
    };
    for (unsigned n = 0; n < std::min<unsigned>(channels, kdx::kMaxChannels); ++n) {
        const uint64_t bit = uint64_t{1} << n;
        if ((events->unseen & bit) != 0) add(n, KDX7400_INPUT_PULSES, events->pulses[n]);
        if ((events->changed & bit) != 0) {
            add(n, (events->levels & bit) != 0 ? KDX7400_INPUT_RISING : KDX7400_INPUT_FALLING, 1);
        }
    }
    *count = found;
    return found > capacity ? RESULT_BUFFER_TOO_SMALL : RESULT_OK;
}
