// SPDX-License-Identifier: MIT
// Sampling the inputs: what happened between two samples, from the levels
// and the hardware counters, with nothing lost however short a pulse.
#include "support.h"

#include <functional>
#include <sys/wait.h>
#include <unistd.h>
#include <tuple>
#include <vector>

namespace {

using namespace kdxtest;

class Sampling : public ModuleTest {
protected:
    kdx7400_input_events sample() {
        kdx7400_input_events events{};
        EXPECT_EQ(KDX7400_DI_Sample(index, &state, &events), RESULT_OK);
        return events;
    }
    kdx7400_input_state state{};
};

TEST_F(Sampling, EachCaseReportsLevelsChangesPulsesAndWhatTheLevelsHid) {
    struct Case {
        const char *what;
        uint8_t counter_edge; // the module's setting, also the state's edge
        uint64_t before;      // levels at the first sample
        std::function<void(const Testbed &, const std::string &)> happen;
        uint64_t levels, changed, unseen;
        uint32_t pulses0;
    };
    const Case cases[] = {
        {"nothing", 0, 0x1, [](auto &, auto &) {}, 0x1, 0, 0, 0},
        {"a rising edge, seen", 0, 0x0, [](auto &b, auto &n) { b.set_inputs(n, 0x1); }, 0x1, 0x1, 0, 1},
        {"a falling edge, not counted", 0, 0x1, [](auto &b, auto &n) { b.set_inputs(n, 0x0); }, 0x0, 0x1, 0, 0},
        {"a pulse between samples", 0, 0x0,
         [](auto &b, auto &n) { b.set_inputs(n, 0x1); b.set_inputs(n, 0x0); }, 0x0, 0, 0x1, 1},
        {"a falling edge counted, seen", 1, 0x1, [](auto &b, auto &n) { b.set_inputs(n, 0x0); }, 0x0, 0x1, 0, 1},
        {"fall, rise, fall: two counted, one seen", 1, 0x1,
         [](auto &b, auto &n) { b.set_inputs(n, 0x0); b.set_inputs(n, 0x1); b.set_inputs(n, 0x0); }, 0x0, 0x1, 0x1, 2},
        {"1000 pulses faster than any poll", 0, 0x0, [](auto &b, auto &n) { b.pulse(n, 0, 1000); }, 0x0, 0, 0x1, 1000},
    };
    ASSERT_GE(open_module(), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        bed.update(node, [&](kdxsim::ModuleState &s) {
            s.registers.di_cnt_edge = c.counter_edge;
            s.registers.di_physical = c.before;
        });
        state = {};
        state.edge = c.counter_edge;
        const kdx7400_input_events first = sample();
        EXPECT_EQ(first.levels, c.before);
        EXPECT_EQ(first.changed | first.unseen | first.pulses[0], 0u) << "a first sample reports levels only";
        c.happen(bed, node);
        bed.clear_commands();
        const kdx7400_input_events events = sample();
        EXPECT_EQ(events.levels, c.levels);
        EXPECT_EQ(events.changed, c.changed);
        EXPECT_EQ(events.unseen, c.unseen);
        EXPECT_EQ(events.pulses[0], c.pulses0);
        EXPECT_EQ(events.pulses[1], 0u);
        const auto sent = transfers();
        ASSERT_EQ(sent.size(), 2u) << "the levels, then the counters";
        EXPECT_EQ(sent[0].lba(), LBA_MODULE_INFO);
        EXPECT_EQ(sent[1].lba(), LBA_DI_COUNTER);
    }
}

// A counter that went down was cleared, by anyone, and counts from zero;
// only a time between the samples that could hold a wrap's pulses at the
// highest counting rate makes it a wrap.
TEST_F(Sampling, ACounterThatWentDownWasClearedUnlessTheTimeCouldHoldAWrap) {
    struct Case {
        const char *what;
        uint32_t before;       // counter 3 at the first sample
        std::function<void()> happen;
        uint32_t seconds_back; // the first sample made this much earlier
        uint32_t pulses;
        bool cleared;
    };
    const auto clear_here = [this] { ASSERT_EQ(KDX7400_DI_ClearCounterChannel(index, 3), RESULT_OK); };
    const auto clear_elsewhere = [] {
        const pid_t other = kdxtest::fork_child();
        if (other == 0) {
            const VirtualModule same{};
            const int32_t mine = KDX7400_OpenDevice(same.product_id, same.board_id);
            ::_exit(mine >= 0 && KDX7400_DI_ClearCounterChannel(mine, 3) == RESULT_OK ? 0 : 1);
        }
        int status = -1;
        ::waitpid(other, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other program's clear";
    };
    const auto then_pulses = [this](auto clear, uint32_t count) {
        return [this, clear, count] {
            clear();
            bed.pulse(node, 3, count);
        };
    };
    const Case cases[] = {
        {"a wrap", 0xFFFFFFFEu, [this] { bed.pulse(node, 3, 5); }, 0, 5, false},
        {"cleared here, then 5 pulses", 100, then_pulses(clear_here, 5), 0, 5, true},
        {"cleared by another program, then 2 pulses", 100, then_pulses(clear_elsewhere, 2), 0, 2, true},
        {"cleared, nothing since", 100, clear_here, 0, 0, true},
        {"down after a minute: cleared", 100, then_pulses(clear_here, 5), 60, 5, true},
        {"down after 80 minutes: could be a wrap", 100, then_pulses(clear_here, 5), 80 * 60, 0xFFFFFFA1u, false},
    };
    ASSERT_GE(open_module(), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        bed.update(node, [&](kdxsim::ModuleState &s) { s.registers.counters[3] = c.before; });
        state = {};
        sample();
        state.sampled_at -= c.seconds_back;
        c.happen();
        kdx7400_input_events events{};
        uint64_t cleared = ~0ull;
        ASSERT_EQ(KDX7400_DI_SampleClears(index, &state, &events, &cleared), RESULT_OK);
        EXPECT_EQ(events.pulses[3], c.pulses);
        EXPECT_EQ(cleared, c.cleared ? 0x8ull : 0);
        EXPECT_EQ((events.unseen >> 3) & 1u, c.pulses > 0 ? 1u : 0u);
    }
}

TEST_F(Sampling, OnlyTheModulesInputsAreReported) {
    ASSERT_GE(open_module(8, 16), 0);
    bed.update(node, [](kdxsim::ModuleState &s) { s.registers.di_physical = 0xFF; });
    const kdx7400_input_events events = sample();
    EXPECT_EQ(events.levels, 0xFFu);
    EXPECT_EQ(state.channels, 8);
    // A state from a module of other channels starts afresh.
    state.channels = 16;
    bed.pulse(node, 0, 2);
    EXPECT_EQ(sample().pulses[0], 0u);
    EXPECT_EQ(state.channels, 8);
}

// One decode for every watcher: pulses before the level change, channel
// by channel, and the first state's edge from the setting and inversion.
TEST_F(Sampling, RecordsAndTheFirstStateComeFromTheLibrary) {
    kdx7400_input_events events{};
    events.levels = 0b101;
    events.changed = 0b110; // 1 fell, 2 rose
    events.unseen = 0b011;  // 0 and 1 had pulses the levels hid
    events.pulses[0] = 4;
    events.pulses[1] = 2;
    kdx7400_input_record records[8];
    std::size_t count = 0;
    ASSERT_EQ(KDX7400_DI_EventRecords(&events, 16, records, 8, &count), RESULT_OK);
    const std::vector<std::tuple<int, int, uint32_t>> expected = {
        {0, KDX7400_INPUT_PULSES, 4}, {1, KDX7400_INPUT_PULSES, 2}, {1, KDX7400_INPUT_FALLING, 1},
        {2, KDX7400_INPUT_RISING, 1}};
    ASSERT_EQ(count, expected.size());
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(std::make_tuple(int{records[i].channel}, int{records[i].kind}, records[i].count), expected[i]) << i;
    }
    EXPECT_EQ(KDX7400_DI_EventRecords(&events, 1, records, 8, &count), RESULT_OK); // input 0 only
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(KDX7400_DI_EventRecords(&events, 16, records, 2, &count), RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(KDX7400_DI_EventRecords(nullptr, 16, records, 2, &count), RESULT_INVALID_PARAM);

    ASSERT_GE(open_module(), 0);
    for (const auto &[edge, inverse, seen] : {std::tuple{0, 0, 0}, {1, 0, 1}, {0, 1, 1}, {1, 1, 0}}) {
        ASSERT_EQ(KDX7400_DI_SetCntEdgeTrigger(index, static_cast<uint8_t>(edge)), RESULT_OK);
        ASSERT_EQ(KDX7400_DI_SetInverse(index, static_cast<uint8_t>(inverse)), RESULT_OK);
        kdx7400_input_state first{};
        first.sampled = 1;
        ASSERT_EQ(KDX7400_DI_BeginSampling(index, &first), RESULT_OK);
        EXPECT_EQ(first.edge, seen) << edge << inverse;
        EXPECT_EQ(first.sampled, 0);
    }
    EXPECT_EQ(KDX7400_DI_BeginSampling(index, nullptr), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_DI_BeginSampling(index + 1, &state), RESULT_NOT_OPEN);
}

TEST_F(Sampling, MissingRecordsAreRefusedBeforeAnyTransfer) {
    ASSERT_GE(open_module(), 0);
    kdx7400_input_events events{};
    EXPECT_EQ(KDX7400_DI_Sample(index, nullptr, &events), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_DI_Sample(index, &state, nullptr), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_DI_SampleClears(index, &state, &events, nullptr), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_DI_Sample(index + 1, &state, &events), RESULT_NOT_OPEN);
    EXPECT_EQ(KDX7400_DI_Sample(-1, &state, &events), RESULT_BAD_INDEX);
    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(state.sampled, 0);
}

} // namespace
