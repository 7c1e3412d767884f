// SPDX-License-Identifier: MIT
// Output value, power-on value and inversion, against virtual modules.
#include "support.h"

#include <cerrno>

namespace {

using namespace kdxtest;

class Outputs : public ModuleTest {};

using MaskWriter = int16_t (*)(int32_t, uint64_t);
using MaskReader = int16_t (*)(int32_t, uint64_t *);
using ChannelWriter = int16_t (*)(int32_t, uint8_t, uint8_t);

struct Family {
    const char *name;
    uint32_t lba;
    MaskWriter write;
    MaskReader read;
    ChannelWriter write_channel;
    uint64_t kdxsim::ModuleRegisters::*held;
    bool prints;
};

const Family kFamilies[] = {
    {"value", LBA_DO_VALUE, KDX7400_DO_WriteValue, KDX7400_DO_ReadValue, KDX7400_DO_WriteChannel,
     &kdxsim::ModuleRegisters::do_value, true},
    {"power-on", LBA_DO_POWER_ON, KDX7400_DO_SetPowerOnEnable, KDX7400_DO_GetPowerOnEnable,
     KDX7400_DO_SetPowerOnEnableToChannel, &kdxsim::ModuleRegisters::do_power_on, false},
};

Bytes le(uint64_t value, std::size_t bytes) {
    Bytes out;
    for (std::size_t i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return out;
}

TEST_F(Outputs, MaskFieldWidthFollowsTheOutputCount) {
    struct Case {
        uint8_t outputs;
        std::size_t width;
    };
    const uint64_t mask = 0x1234567890ABCDEFu;
    for (const Family &family : kFamilies) {
        for (const Case c : {Case{8, 1}, Case{16, 2}, Case{24, 8}, Case{32, 4}, Case{64, 8}}) {
            SCOPED_TRACE(std::string(family.name) + " outputs " + std::to_string(c.outputs));
            with_module(module_with(16, c.outputs), [&](const Testbed &tb, const std::string &,
                                                        int32_t at) {
                EXPECT_EQ(family.write(at, mask), RESULT_OK);
                const auto sent = tb.transfers();
                ASSERT_EQ(sent.size(), 1u);
                EXPECT_EQ(sent[0].lba(), family.lba);
                EXPECT_EQ(sent[0].data, block(24, {{16, le(mask, c.width)}}));
            });
        }
    }
}

TEST_F(Outputs, EightOutputsDropTheNinthBit) {
    open_module(16, 8);
    EXPECT_EQ(KDX7400_DO_WriteValue(index, 0x1FF), RESULT_OK);
    EXPECT_EQ(written(), block(24, {{16, {0xFF}}}));
    EXPECT_EQ(state().registers.do_value, 0xFFu);
}

TEST_F(Outputs, ReadingDecodesTheFieldZeroExtended) {
    struct Case {
        uint8_t outputs;
        uint64_t expected;
    };
    const Bytes reply = {0xEF, 0xCD, 0xAB, 0x90, 0x78, 0x56, 0x34, 0x12};
    for (const Family &family : kFamilies) {
        for (const Case c : {Case{8, 0xEF}, Case{16, 0xCDEF}, Case{32, 0x90ABCDEF},
                             Case{24, 0x1234567890ABCDEF}, Case{64, 0x1234567890ABCDEF}}) {
            with_module(module_with(16, c.outputs), [&](const Testbed &tb, const std::string &,
                                                        int32_t at) {
                tb.inject(reply_bytes(16, reply));
                uint64_t value = 0;
                EXPECT_EQ(family.read(at, &value), RESULT_OK);
                EXPECT_EQ(value, c.expected) << family.name << " " << int{c.outputs};
                EXPECT_EQ(tb.transfers().at(0).dxfer_len, 24u);
            });
        }
    }
}

TEST_F(Outputs, SingleChannelWritesSendBackTheBlockAsRead) {
    // Header bytes 4..15 and payload bytes past the field come back as read.
    Bytes reply = {0xA5, 0x77, 0x35, 0x5A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x34, 0x12,
                   0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    struct Case {
        uint8_t channel, state, low, high;
    };
    for (const Family &family : kFamilies) {
        for (const Case c : {Case{0, 1, 0x35, 0x12}, Case{12, 0, 0x34, 0x02}, Case{15, 1, 0x34, 0x92},
                             Case{20, 1, 0x34, 0x12}}) {
            with_module(module_with(16, 16), [&](const Testbed &tb, const std::string &,
                                                 int32_t at) {
                tb.inject(for_opcode(reply_bytes(0, reply), kRead10));
                EXPECT_EQ(family.write_channel(at, c.channel, c.state), RESULT_OK);
                const auto sent = tb.transfers();
                ASSERT_EQ(sent.size(), 2u);
                EXPECT_EQ(sent[0].lba(), family.lba);
                EXPECT_EQ(sent[1].lba(), family.lba);
                Bytes expected = reply;
                expected[16] = c.low;
                expected[17] = c.high;
                EXPECT_EQ(sent[1].data, expected) << family.name << " ch " << int{c.channel};
            });
        }
    }
}

TEST_F(Outputs, ChannelOutsideAnEightBitFieldLeavesItUnchanged) {
    open_module(16, 8);
    bed.update(node, [](kdxsim::ModuleState &s) { s.registers.do_value = 0x5A; });
    EXPECT_EQ(KDX7400_DO_WriteChannel(index, 20, 1), RESULT_OK);
    const auto sent = transfers();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].data, block(24, {{16, {0x5A}}}));
}

TEST_F(Outputs, ChannelsSwitchTheModulesOutputs) {
    open_module(16, 16);
    EXPECT_EQ(KDX7400_DO_WriteValue(index, 0x00F0), RESULT_OK);
    EXPECT_EQ(KDX7400_DO_WriteChannel(index, 0, 1), RESULT_OK);
    EXPECT_EQ(KDX7400_DO_WriteChannel(index, 4, 0), RESULT_OK);
    EXPECT_EQ(KDX7400_DO_WriteChannel(index, 15, 1), RESULT_OK);
    EXPECT_EQ(state().registers.do_value, 0x80E1u);
    uint64_t value = 0;
    EXPECT_EQ(KDX7400_DO_ReadValue(index, &value), RESULT_OK);
    EXPECT_EQ(value, 0x80E1u);
    EXPECT_EQ(KDX7400_DO_SetPowerOnEnable(index, 0x0101), RESULT_OK);
    EXPECT_EQ(KDX7400_DO_SetPowerOnEnableToChannel(index, 8, 0), RESULT_OK);
    EXPECT_EQ(KDX7400_DO_GetPowerOnEnable(index, &value), RESULT_OK);
    EXPECT_EQ(value, 0x0001u);
    EXPECT_EQ(state().registers.do_power_on, 0x0001u);
}

TEST_F(Outputs, OnlyTheValueWriterPrintsItsTransferFailures) {
    for (const Family &family : kFamilies) {
        SCOPED_TRACE(family.name);
        with_module({}, [&](const Testbed &tb, const std::string &, int32_t at) {
            tb.inject(for_opcode(ioctl_error(EIO), kRead10));
            std::string out = capture_stdout([&] { EXPECT_EQ(family.write_channel(at, 1, 1), 6); });
            EXPECT_EQ(out, family.prints ? "read error\n" : "");
            EXPECT_EQ(tb.transfers().size(), 1u) << "nothing written after a failed read";

            tb.inject(for_opcode(ioctl_error(EIO), kWrite10));
            out = capture_stdout([&] { EXPECT_EQ(family.write_channel(at, 1, 1), 5); });
            EXPECT_EQ(out, family.prints ? "write error\n" : "");

            tb.clear_commands();
            tb.inject(fault(FaultKind::NoMagic));
            out = capture_stdout([&] { EXPECT_EQ(family.write_channel(at, 1, 1), 4); });
            EXPECT_EQ(out, "") << "a bad header is reported by the code alone";
            EXPECT_EQ(tb.transfers().size(), 1u);
        });
    }
}

TEST_F(Outputs, TransferFailuresLeaveOutParametersAlone) {
    open_module(16, 16);
    for (const Family &family : kFamilies) {
        uint64_t value = 0xEE;
        bed.inject(ioctl_error(EIO));
        EXPECT_EQ(family.read(index, &value), RESULT_READ_FAILED);
        bed.inject(fault(FaultKind::NoMagic));
        EXPECT_EQ(family.read(index, &value), RESULT_BAD_HEADER);
        EXPECT_EQ(value, 0xEEu);
        bed.inject(ioctl_error(EIO));
        EXPECT_EQ(family.write(index, 1), RESULT_WRITE_FAILED);
    }
}

TEST_F(Outputs, InversionBytePassesThroughUnchecked) {
    open_module(16, 16);
    EXPECT_EQ(KDX7400_DO_SetInverse(index, 7), RESULT_OK);
    EXPECT_EQ(written(), block(17, {{16, {7}}}));
    EXPECT_EQ(only_transfer().lba(), LBA_DO_INVERSE);
    uint8_t inverse = 0;
    EXPECT_EQ(KDX7400_DO_GetInverse(index, &inverse), RESULT_OK);
    EXPECT_EQ(inverse, 7);
    // The getter takes any header.
    bed.inject(reply_bytes(0, {0, 0, 0, 0}));
    inverse = 0;
    EXPECT_EQ(KDX7400_DO_GetInverse(index, &inverse), RESULT_OK);
    EXPECT_EQ(inverse, 7);
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_DO_SetInverse(index, 1), RESULT_WRITE_FAILED);
    bed.inject(ioctl_error(EIO));
    inverse = 0xEE;
    EXPECT_EQ(KDX7400_DO_GetInverse(index, &inverse), RESULT_READ_FAILED);
    EXPECT_EQ(inverse, 0xEE);
}

} // namespace
