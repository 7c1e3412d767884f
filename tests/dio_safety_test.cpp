// SPDX-License-Identifier: MIT
// The two safety masks in both register layouts.
#include "support.h"

#include <cerrno>

namespace {

using namespace kdxtest;

class Safety : public ModuleTest {};

struct LayoutCase {
    uint8_t outputs;
    uint64_t first, second;
    Bytes payload; // bytes 16..31 of the block written
};

TEST_F(Safety, BothMasksArePlacedByTheOutputCount) {
    const LayoutCase cases[] = {
        {8, 0x1A5, 0x3C, {0xA5, 0, 0, 0, 0x3C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {16, 0x12345, 0xABCDE, {0x45, 0x23, 0, 0, 0xDE, 0xBC, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {32, 1u << 31, 1, {0, 0, 0, 0x80, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {24, 0x1122334455, 0x66778899AA,
         {0x55, 0x44, 0x33, 0x22, 0xAA, 0x99, 0x88, 0x77, 0, 0, 0, 0, 0, 0, 0, 0}},
        {64, (1ull << 0) | (1ull << 40), (1ull << 1) | (1ull << 63),
         {1, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0x80}},
        {40, 0x00000001FFFFFFFF, 0x0000000200000000,
         {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}},
    };
    for (const LayoutCase &c : cases) {
        SCOPED_TRACE("outputs " + std::to_string(c.outputs));
        with_module(module_with(16, c.outputs), [&](const Testbed &tb, const std::string &,
                                                    int32_t at) {
            EXPECT_EQ(KDX7400_DO_SetSafetyEnable(at, c.first, c.second), RESULT_OK);
            const auto sent = tb.transfers();
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].lba(), LBA_DO_SAFETY);
            EXPECT_EQ(sent[0].data, block(32, {{16, c.payload}}));
        });
    }
}

TEST_F(Safety, MasksRoundTripThroughTheModule) {
    struct Case {
        uint8_t outputs;
        uint64_t first, second;
    };
    for (const Case c : {Case{8, 0xA5, 0x3C}, Case{16, 0x8001, 0x7FFE}, Case{32, 0x80000001, 0x1},
                         Case{64, (1ull << 40) | 1, (1ull << 63) | 2}}) {
        with_module(module_with(16, c.outputs), [&](const Testbed &tb, const std::string &node,
                                                    int32_t at) {
            ASSERT_EQ(KDX7400_DO_SetSafetyEnable(at, c.first, c.second), RESULT_OK);
            EXPECT_EQ(tb.state(node).registers.safety_first, c.first);
            uint64_t first = 0, second = 0;
            EXPECT_EQ(KDX7400_DO_GetSafetyEnable(at, &first, &second), RESULT_OK);
            EXPECT_EQ(first, c.first);
            EXPECT_EQ(second, c.second);
        });
    }
}

TEST_F(Safety, NarrowFieldsDecodeInTheirWidth) {
    const Bytes reply = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                         0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
    struct Case {
        uint8_t outputs;
        uint64_t first, second;
    };
    for (const Case c : {Case{8, 0x11, 0x55}, Case{16, 0x2211, 0x6655}, Case{24, 0x44332211, 0x88776655},
                         Case{64, 0x9999999944332211, 0x9999999988776655}}) {
        with_module(module_with(16, c.outputs), [&](const Testbed &tb, const std::string &,
                                                    int32_t at) {
            tb.inject(reply_bytes(16, reply));
            uint64_t first = 0, second = 0;
            EXPECT_EQ(KDX7400_DO_GetSafetyEnable(at, &first, &second), RESULT_OK);
            EXPECT_EQ(first, c.first) << int{c.outputs};
            EXPECT_EQ(second, c.second) << int{c.outputs};
        });
    }
}

TEST_F(Safety, OneChannelChangesItsBitInEachWordWhateverTheLayout) {
    // Word 28 has bit 3 set beforehand; header bytes 4..15 are not zero.
    Bytes reply = magic();
    for (uint8_t b = 1; b <= 12; ++b) {
        reply.push_back(b);
    }
    const Bytes payload = {0xF0, 0, 0, 0, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0x08, 0, 0, 0};
    reply.insert(reply.end(), payload.begin(), payload.end());
    for (const uint8_t outputs : {uint8_t{16}, uint8_t{64}}) {
        with_module(module_with(16, outputs), [&](const Testbed &tb, const std::string &,
                                                  int32_t at) {
            tb.inject(for_opcode(reply_bytes(0, reply), kRead10));
            EXPECT_EQ(KDX7400_DO_SetSafetyEnableChannel(at, 35, 1, 0), RESULT_OK);
            const auto sent = tb.transfers();
            ASSERT_EQ(sent.size(), 2u);
            Bytes expected = reply;
            expected[24] = 0x08; // bit 3 of the first mask's upper word set
            expected[28] = 0x00; // and of the second mask's upper word cleared
            EXPECT_EQ(sent[1].data, expected) << int{outputs};

            tb.clear_commands();
            tb.inject(for_opcode(reply_bytes(0, reply), kRead10));
            EXPECT_EQ(KDX7400_DO_SetSafetyEnableChannel(at, 4, 0, 1), RESULT_OK);
            expected = reply;
            expected[16] = 0xE0;
            expected[20] = 0x1F;
            EXPECT_EQ(tb.transfers().at(1).data, expected);
        });
    }
}

TEST_F(Safety, FailuresStopBeforeAnythingIsWritten) {
    open_module(16, 16);
    bed.inject(fault(FaultKind::NoMagic));
    EXPECT_EQ(KDX7400_DO_SetSafetyEnableChannel(index, 1, 1, 1), RESULT_BAD_HEADER);
    EXPECT_EQ(transfers().size(), 1u);
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_DO_SetSafetyEnableChannel(index, 1, 1, 1), RESULT_READ_FAILED);
    bed.inject(for_opcode(ioctl_error(EIO), kWrite10));
    EXPECT_EQ(KDX7400_DO_SetSafetyEnableChannel(index, 1, 1, 1), RESULT_WRITE_FAILED);
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_DO_SetSafetyEnable(index, 1, 1), RESULT_WRITE_FAILED);
    uint64_t first = 0xEE, second = 0xDD;
    bed.inject(fault(FaultKind::NoMagic));
    EXPECT_EQ(KDX7400_DO_GetSafetyEnable(index, &first, &second), RESULT_BAD_HEADER);
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_DO_GetSafetyEnable(index, &first, &second), RESULT_READ_FAILED);
    EXPECT_EQ(first, 0xEEu);
    EXPECT_EQ(second, 0xDDu);
}

} // namespace
