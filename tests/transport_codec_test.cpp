// SPDX-License-Identifier: MIT
// Byte order helpers, the header stamp and the safety layout choice.
#include "support.h"

#include <array>

namespace {

using kdxtest::Bytes;

TEST(Codec, LittleEndianHelpersStoreLowByteFirstAndRoundTrip) {
    std::array<uint8_t, 8> buffer{};
    setU64Val(buffer.data(), 0x1122334455667788u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end()),
              (Bytes{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(getU64Val(buffer.data()), 0x1122334455667788u);

    buffer.fill(0xEE);
    setU32Val(buffer.data(), 0xA1B2C3D4u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), (Bytes{0xD4, 0xC3, 0xB2, 0xA1, 0xEE}));
    EXPECT_EQ(getU32Val(buffer.data()), 0xA1B2C3D4u);

    setU16Val(buffer.data() + 1, 0xBEEF);
    EXPECT_EQ(buffer[1], 0xEF);
    EXPECT_EQ(buffer[2], 0xBE);
    EXPECT_EQ(getU16Val(buffer.data() + 1), 0xBEEF);

    setU8Val(buffer.data() + 7, 0x5A);
    EXPECT_EQ(getU8Val(buffer.data() + 7), 0x5A);
    EXPECT_EQ(buffer[6], 0xEE) << "a one-byte store touches one byte";
}

TEST(Codec, BigEndianHelpersStoreHighByteFirst) {
    std::array<uint8_t, 4> buffer{};
    setU32ValBE(buffer.data(), 0x2100);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.end()), (Bytes{0x00, 0x00, 0x21, 0x00}));
    EXPECT_EQ(getU32ValBE(buffer.data()), 0x2100u);
    const uint8_t pair[2] = {0x12, 0x34};
    EXPECT_EQ(getU16ValBE(pair), 0x1234);
    EXPECT_EQ(getU16Val(pair), 0x3412);
    setU16ValBE(buffer.data(), 0xABCD);
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(buffer[1], 0xCD);
}

TEST(Codec, UnalignedAccessWorks) {
    std::array<uint8_t, 16> buffer{};
    for (std::size_t offset = 0; offset < 8; ++offset) {
        setU64Val(buffer.data() + offset, 0x0102030405060708u + offset);
        EXPECT_EQ(getU64Val(buffer.data() + offset), 0x0102030405060708u + offset);
        setU32ValBE(buffer.data() + offset, 0xCAFE0000u + static_cast<uint32_t>(offset));
        EXPECT_EQ(getU32ValBE(buffer.data() + offset), 0xCAFE0000u + offset);
    }
}

TEST(Codec, HeaderStampTouchesOnlyTheMagic) {
    std::array<uint8_t, 17> block{};
    add_IDENTIFY_HEADER(block.data());
    EXPECT_EQ(Bytes(block.begin(), block.end()), kdxtest::block(17));
    setU8Val(&block[16], TRIGGER_BYTE);
    EXPECT_EQ(Bytes(block.begin(), block.end()), kdxtest::block(17, {{16, {0x5A}}}));

    block.fill(0xCC);
    add_IDENTIFY_HEADER(block.data());
    EXPECT_EQ(getU32Val(block.data()), IDENTIFY_HEADER_MAGIC);
    EXPECT_EQ(block[4], 0xCC);
}

TEST(Codec, SafetyLayoutIsNarrowUpTo32Outputs) {
    struct Case {
        uint8_t outputs;
        int32_t size;
    };
    for (const Case c : {Case{0, 32}, Case{8, 32}, Case{16, 32}, Case{32, 32}, Case{33, 64},
                         Case{64, 64}, Case{255, 64}}) {
        EXPECT_EQ(get_do_block_size(c.outputs), c.size) << int{c.outputs};
    }
}

} // namespace
