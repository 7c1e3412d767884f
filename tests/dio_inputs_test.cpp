// SPDX-License-Identifier: MIT
// Inputs, input settings and counters, against virtual modules.
#include "support.h"

#include <cerrno>

namespace {

using namespace kdxtest;

class Inputs : public ModuleTest {};

TEST_F(Inputs, ValueIsReadInTheWidthOfTheInputCount) {
    struct Case {
        uint8_t inputs;
        uint64_t levels;
    };
    for (const Case c : {Case{8, 0xA5}, Case{16, 0xBEEF}, Case{32, 0x80000001},
                         Case{64, 0xFF00000000000001}, Case{24, 0xABCDEF}}) {
        with_module(module_with(c.inputs, 16), [&](const Testbed &tb, const std::string &node,
                                                   int32_t at) {
            tb.set_inputs(node, c.levels);
            uint64_t value = 0;
            EXPECT_EQ(KDX7400_DI_ReadValue(at, &value), RESULT_OK);
            EXPECT_EQ(value, c.levels) << int{c.inputs};
            const Command read = tb.transfers().at(0);
            EXPECT_EQ(read.lba(), LBA_MODULE_INFO);
            EXPECT_EQ(read.dxfer_len, 72u) << "the whole 8-byte field";
        });
    }
}

TEST_F(Inputs, NarrowFieldsIgnoreTheBytesAfterThem) {
    open_module(16, 16);
    bed.inject(reply_bytes(64, {0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    uint64_t value = 0;
    EXPECT_EQ(KDX7400_DI_ReadValue(index, &value), RESULT_OK);
    EXPECT_EQ(value, 0x1234u);
}

TEST_F(Inputs, SingleChannelsAreBitsOfTheValue) {
    open_module(8, 8);
    bed.set_inputs(node, 0xA5);
    struct Case {
        uint8_t channel;
        int16_t result;
        uint8_t state;
    };
    for (const Case c : {Case{0, 0, 1}, Case{1, 0, 0}, Case{7, 0, 1}, Case{8, 7, 0xEE}}) {
        uint8_t state = 0xEE;
        EXPECT_EQ(KDX7400_DI_ReadChannel(index, c.channel, &state), c.result) << int{c.channel};
        EXPECT_EQ(state, c.state) << int{c.channel};
    }
}

TEST_F(Inputs, InputsBeyondSixtyFourAreOutsideTheDataModel) {
    open_module(72, 16);
    bed.set_inputs(node, 0x8000000000000008);
    uint8_t state = 0xEE;
    EXPECT_EQ(KDX7400_DI_ReadChannel(index, 64, &state), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_DI_ReadChannel(index, 71, &state), RESULT_INVALID_PARAM);
    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(KDX7400_DI_ReadChannel(index, 3, &state), RESULT_OK);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(KDX7400_DI_ReadChannel(index, 63, &state), RESULT_OK);
    EXPECT_EQ(state, 1);
}

TEST_F(Inputs, SettingsAreSentAndReadBack) {
    open_module(16, 16);
    struct Case {
        const char *name;
        std::function<int16_t()> set;
        uint32_t lba;
        Bytes block;
    };
    const Case cases[] = {
        {"filter 0", [this] { return KDX7400_DI_SetFilter(index, 0); }, LBA_DI_FILTER,
         block(18, {{16, {0, 0}}})},
        {"filter max", [this] { return KDX7400_DI_SetFilter(index, 0xFFFF); }, LBA_DI_FILTER,
         block(18, {{16, {0xFF, 0xFF}}})},
        {"filter 0x1234", [this] { return KDX7400_DI_SetFilter(index, 0x1234); }, LBA_DI_FILTER,
         block(18, {{16, {0x34, 0x12}}})},
        {"inverse 1", [this] { return KDX7400_DI_SetInverse(index, 1); }, LBA_DI_INVERSE,
         block(17, {{16, {1}}})},
        {"edge 1", [this] { return KDX7400_DI_SetCntEdgeTrigger(index, 1); }, LBA_DI_CNT_EDGE,
         block(17, {{16, {1}}})},
    };
    for (const Case &c : cases) {
        bed.clear_commands();
        EXPECT_EQ(c.set(), RESULT_OK) << c.name;
        EXPECT_EQ(only_transfer().lba(), c.lba) << c.name;
        EXPECT_EQ(written(), c.block) << c.name;
    }
    uint16_t filter = 0;
    uint8_t inverse = 0, edge = 0;
    EXPECT_EQ(KDX7400_DI_GetFilter(index, &filter), RESULT_OK);
    EXPECT_EQ(KDX7400_DI_GetInverse(index, &inverse), RESULT_OK);
    EXPECT_EQ(KDX7400_DI_GetCntEdgeTrigger(index, &edge), RESULT_OK);
    EXPECT_EQ(filter, 0x1234);
    EXPECT_EQ(inverse, 1);
    EXPECT_EQ(edge, 1);
    bed.inject(reply_bytes(16, {2}));
    EXPECT_EQ(KDX7400_DI_GetInverse(index, &inverse), RESULT_OK);
    EXPECT_EQ(inverse, 2) << "passed on as reported";
}

TEST_F(Inputs, ReplyMagicIsCheckedByEveryReaderButOutputInversion) {
    open_module(16, 16);
    uint64_t mask = 0, other = 0;
    uint8_t byte = 0;
    uint16_t word = 0;
    uint32_t counter = 0;
    uint32_t counters[16] = {};
    struct Case {
        const char *name;
        std::function<int16_t()> read;
        bool validates;
    };
    const Case cases[] = {
        {"DO_ReadValue", [&] { return KDX7400_DO_ReadValue(index, &mask); }, true},
        {"DO_GetPowerOnEnable", [&] { return KDX7400_DO_GetPowerOnEnable(index, &mask); }, true},
        {"DO_GetInverse", [&] { return KDX7400_DO_GetInverse(index, &byte); }, false},
        {"DO_GetSafetyEnable", [&] { return KDX7400_DO_GetSafetyEnable(index, &mask, &other); }, true},
        {"DI_ReadValue", [&] { return KDX7400_DI_ReadValue(index, &mask); }, true},
        {"DI_ReadChannel", [&] { return KDX7400_DI_ReadChannel(index, 1, &byte); }, true},
        {"DI_GetFilter", [&] { return KDX7400_DI_GetFilter(index, &word); }, true},
        {"DI_GetInverse", [&] { return KDX7400_DI_GetInverse(index, &byte); }, true},
        {"DI_GetCntEdgeTrigger", [&] { return KDX7400_DI_GetCntEdgeTrigger(index, &byte); }, true},
        {"DI_ReadCounterValue", [&] { return KDX7400_DI_ReadCounterValue(index, counters, 16); }, true},
        {"DI_ReadChannelCounter", [&] { return KDX7400_DI_ReadChannelCounter(index, 1, &counter); }, true},
    };
    for (const Case &c : cases) {
        bed.inject(fault(FaultKind::NoMagic));
        EXPECT_EQ(c.read(), c.validates ? RESULT_BAD_HEADER : RESULT_OK) << c.name;
        bed.inject(ioctl_error(EIO));
        EXPECT_EQ(c.read(), RESULT_READ_FAILED) << c.name;
    }
}

TEST_F(Inputs, FailedReadsLeaveOutParametersAlone) {
    open_module(16, 16);
    uint64_t value = 0xEE;
    uint8_t byte = 0xEE;
    uint16_t word = 0xEEEE;
    for (const Fault &f : {ioctl_error(EIO), fault(FaultKind::NoMagic)}) {
        bed.inject(f);
        KDX7400_DI_ReadValue(index, &value);
        bed.inject(f);
        KDX7400_DI_ReadChannel(index, 0, &byte);
        bed.inject(f);
        KDX7400_DI_GetFilter(index, &word);
        bed.inject(f);
        KDX7400_DI_GetCntEdgeTrigger(index, &byte);
    }
    EXPECT_EQ(value, 0xEEu);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(word, 0xEEEE);
    for (const auto set : {+[](int32_t i) { return KDX7400_DI_SetFilter(i, 1); },
                           +[](int32_t i) { return KDX7400_DI_SetInverse(i, 1); },
                           +[](int32_t i) { return KDX7400_DI_SetCntEdgeTrigger(i, 1); }}) {
        bed.inject(ioctl_error(EIO));
        EXPECT_EQ(set(index), RESULT_WRITE_FAILED);
    }
}

class Counters : public ModuleTest {};

TEST_F(Counters, TableEntriesComeFromTheirOffsets) {
    open_module(16, 16);
    bed.update(node, [](kdxsim::ModuleState &s) {
        for (uint32_t n = 0; n < 16; ++n) {
            s.registers.counters[n] = 1000 * n + 7;
        }
    });
    uint32_t values[17] = {};
    values[16] = 0xEEEE;
    EXPECT_EQ(KDX7400_DI_ReadCounterValue(index, values, 16), RESULT_OK);
    for (uint32_t n = 0; n < 16; ++n) {
        EXPECT_EQ(values[n], 1000 * n + 7) << n;
    }
    EXPECT_EQ(values[16], 0xEEEEu) << "exactly di_total entries";
    EXPECT_EQ(only_transfer().dxfer_len, 272u);
    uint32_t one = 0;
    EXPECT_EQ(KDX7400_DI_ReadChannelCounter(index, 15, &one), RESULT_OK);
    EXPECT_EQ(one, 15007u);
}

TEST_F(Counters, TheLastOfSixtyFourCountersArrivesWhole) {
    open_module(64, 16);
    bed.update(node, [](kdxsim::ModuleState &s) { s.registers.counters[63] = 0xAABBCCDD; });
    uint32_t value = 0;
    EXPECT_EQ(KDX7400_DI_ReadChannelCounter(index, 63, &value), RESULT_OK);
    EXPECT_EQ(value, 0xAABBCCDDu);
    uint32_t values[64] = {};
    EXPECT_EQ(KDX7400_DI_ReadCounterValue(index, values, 64), RESULT_OK);
    EXPECT_EQ(values[63], 0xAABBCCDDu);
}

TEST_F(Counters, AModuleWithoutInputsAcceptsCountZero) {
    open_module(0, 16);
    uint32_t values[1] = {0xEE};
    EXPECT_EQ(KDX7400_DI_ReadCounterValue(index, values, 0), RESULT_OK);
    EXPECT_EQ(values[0], 0xEEu);
    EXPECT_EQ(transfers().size(), 1u);
    bed.inject(fault(FaultKind::NoMagic));
    EXPECT_EQ(KDX7400_DI_ReadCounterValue(index, values, 0), RESULT_BAD_HEADER);
}

TEST_F(Counters, ClearMaskUsesTheUpperWordOnlyAboveThirtyTwoInputs) {
    struct Case {
        const char *name;
        uint8_t inputs;
        std::function<int16_t(int32_t)> clear;
        Bytes mask; // bytes 16..23
    };
    const Case cases[] = {
        {"16 inputs, bits 0 and 32", 16, [](int32_t i) { return KDX7400_DI_ClearCounter(i, 1 | 1ull << 32); },
         {1, 0, 0, 0, 0, 0, 0, 0}},
        {"64 inputs, bit 40", 64, [](int32_t i) { return KDX7400_DI_ClearCounter(i, 1ull << 40); },
         {0, 0, 0, 0, 0, 1, 0, 0}},
        {"33 inputs, all", 33, [](int32_t i) { return KDX7400_DI_ClearCounter(i, ~0ull); },
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"channel 5", 16, [](int32_t i) { return KDX7400_DI_ClearCounterChannel(i, 5); },
         {0x20, 0, 0, 0, 0, 0, 0, 0}},
        {"single counter past the inputs", 16,
         [](int32_t i) { return KDX7400_DI_ClearSingleCounter(i, 16); }, {0, 0, 1, 0, 0, 0, 0, 0}},
        {"single counter 40 on 32 inputs", 32,
         [](int32_t i) { return KDX7400_DI_ClearSingleCounter(i, 40); }, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"single counter 40 on 64 inputs", 64,
         [](int32_t i) { return KDX7400_DI_ClearSingleCounter(i, 40); }, {0, 0, 0, 0, 0, 1, 0, 0}},
    };
    for (const Case &c : cases) {
        with_module(module_with(c.inputs, 16), [&](const Testbed &tb, const std::string &,
                                                   int32_t at) {
            EXPECT_EQ(c.clear(at), RESULT_OK) << c.name;
            const auto sent = tb.transfers();
            ASSERT_EQ(sent.size(), 1u) << c.name;
            EXPECT_EQ(sent[0].lba(), LBA_DI_COUNTER);
            EXPECT_EQ(sent[0].data, block(32, {{16, c.mask}})) << c.name;
        });
    }
}

TEST_F(Counters, ModulesBeyondSixtyFourInputsServeTheirFirstSixtyFour) {
    open_module(72, 16);
    bed.update(node, [](kdxsim::ModuleState &s) { s.registers.counters[5] = 55; });
    uint32_t values[72] = {};
    EXPECT_EQ(KDX7400_DI_ReadCounterValue(index, values, 72), RESULT_INVALID_PARAM);
    uint32_t value = 0;
    EXPECT_EQ(KDX7400_DI_ReadChannelCounter(index, 64, &value), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_DI_ClearCounterChannel(index, 64), RESULT_INVALID_PARAM);
    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(KDX7400_DI_ReadChannelCounter(index, 5, &value), RESULT_OK);
    EXPECT_EQ(value, 55u);
    EXPECT_EQ(KDX7400_DI_ClearCounterChannel(index, 5), RESULT_OK);
    EXPECT_EQ(state().registers.counters[5], 0u);
}

TEST_F(Counters, FailuresAreReportedAndNothingStored) {
    open_module(16, 16);
    uint32_t values[16];
    std::fill(std::begin(values), std::end(values), 0xEEu);
    uint32_t value = 0xEE;
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_DI_ReadCounterValue(index, values, 16), RESULT_READ_FAILED);
    bed.inject(fault(FaultKind::NoMagic));
    EXPECT_EQ(KDX7400_DI_ReadChannelCounter(index, 3, &value), RESULT_BAD_HEADER);
    EXPECT_EQ(values[0], 0xEEu);
    EXPECT_EQ(value, 0xEEu);
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_DI_ClearCounter(index, 1), RESULT_WRITE_FAILED);
}

TEST_F(Counters, DrivenInputsAreReadAndTheirEdgesCounted) {
    open_module(16, 16);
    for (const uint64_t levels : {0x0001u, 0x0000u, 0x0003u, 0x0002u, 0x8003u}) {
        bed.set_inputs(node, levels);
    }
    uint64_t value = 0;
    EXPECT_EQ(KDX7400_DI_ReadValue(index, &value), RESULT_OK);
    EXPECT_EQ(value, 0x8003u);
    uint32_t counters[16] = {};
    EXPECT_EQ(KDX7400_DI_ReadCounterValue(index, counters, 16), RESULT_OK);
    EXPECT_EQ(counters[0], 3u) << "rising edges";
    EXPECT_EQ(counters[1], 1u);
    EXPECT_EQ(counters[15], 1u);

    ASSERT_EQ(KDX7400_DI_SetCntEdgeTrigger(index, 1), RESULT_OK);
    ASSERT_EQ(KDX7400_DI_ClearCounterChannel(index, 0), RESULT_OK);
    bed.set_inputs(node, 0x0000);
    uint32_t falling = 0;
    EXPECT_EQ(KDX7400_DI_ReadChannelCounter(index, 0, &falling), RESULT_OK);
    EXPECT_EQ(falling, 1u);
    EXPECT_EQ(KDX7400_DI_ReadChannelCounter(index, 1, &falling), RESULT_OK);
    EXPECT_EQ(falling, 2u);

    ASSERT_EQ(KDX7400_DI_SetInverse(index, 1), RESULT_OK);
    EXPECT_EQ(KDX7400_DI_ReadValue(index, &value), RESULT_OK);
    EXPECT_EQ(value, 0xFFFFu) << "inverted levels";
}

} // namespace
