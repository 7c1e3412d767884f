// SPDX-License-Identifier: MIT
// Input sampling: the levels and the counters, compared with the caller's
// previous sample. The counters see every counted edge in hardware, so a
// pulse shorter than the sampling interval is still reported.
#include "../internal.h"

#include <algorithm>

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

} // namespace

} // namespace kdx

extern "C" int16_t KDX7400_DI_Sample(int32_t index, kdx7400_input_state *state,
                                     kdx7400_input_events *events) {
    if (state == nullptr || events == nullptr) {
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
    kdx7400_input_events found{};
    found.levels = levels;
    // A first sample, or one of a module with other channels, is a start.
    if (state->sampled != 0 && state->channels == channels) {
        found.changed = levels ^ state->levels;
        const uint64_t seen = kdx::seen_counted_edges(state->levels, levels, state->edge);
        for (unsigned n = 0; n < channels; ++n) {
            found.pulses[n] = counters[n] - state->counters[n]; // wraps as the counter does
            const uint32_t explained = (seen >> n) & 1u;
            if (found.pulses[n] > explained) {
                found.unseen |= uint64_t{1} << n;
            }
        }
    }
    *events = found;
    state->levels = levels;
    std::copy(counters.begin(), counters.end(), state->counters);
    state->channels = static_cast<uint8_t>(channels);
    state->sampled = 1;
    return RESULT_OK;
}
