// SPDX-License-Identifier: MIT
// The diagnostic printers' exact text.
#include "support.h"

#include <numeric>

namespace {

using namespace kdxtest;

const std::string kHeading = "      00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n"
                             "     " + std::string(48, '-') + "\n";

std::string row(unsigned offset, unsigned first, unsigned count) {
    char text[16];
    std::snprintf(text, sizeof text, "%03X : ", offset);
    std::string line = text;
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, "%02X ", (first + i) & 0xFF);
        line += text;
    }
    return line;
}

std::string dump(int32_t size, const Bytes &data) {
    return capture_stdout([&] { dumpPackage(data.data(), size); });
}

Bytes counting(std::size_t size) {
    Bytes data(size);
    std::iota(data.begin(), data.end(), uint8_t{0});
    return data;
}

TEST(Printers, DumpPrintsSixteenBytesARow) {
    struct Case {
        int32_t size;
        std::string body;
    };
    const Case cases[] = {
        {20, row(0, 0, 16) + "\n" + row(0x10, 0x10, 4) + "\n"},
        {16, row(0, 0, 16) + "\n"},
        {17, row(0, 0, 16) + "\n" + row(0x10, 0x10, 1) + "\n"},
        {32, row(0, 0, 16) + "\n" + row(0x10, 0x10, 16) + "\n"},
        {0, ""},
        {-16, ""},
        {-1, "\n"},
    };
    const Bytes data = counting(64);
    for (const Case &c : cases) {
        EXPECT_EQ(dump(c.size, data),
                  "dump packages " + std::to_string(c.size) + " bytes\n" + kHeading + c.body)
            << c.size;
    }
}

TEST(Printers, RowOffsetsWidenBeyondFFF) {
    const Bytes data = counting(4097);
    const std::string out = dump(4097, data);
    EXPECT_NE(out.find("\nFF0 : F0 F1"), std::string::npos);
    EXPECT_NE(out.find("\n1000 : 00 \n"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 11), "1000 : 00 \n");
}

Bytes inquiry(const std::string &vendor, const std::string &product, const std::string &revision) {
    Bytes data(40, 0);
    std::copy(vendor.begin(), vendor.end(), data.begin() + 8);
    std::copy(product.begin(), product.end(), data.begin() + 16);
    std::copy(revision.begin(), revision.end(), data.begin() + 32);
    return data;
}

TEST(Printers, InquiryFieldsStopAtTheirFirstNul) {
    struct Case {
        Bytes data;
        std::string text;
    };
    Bytes short_product = inquiry("KALMIR  ", "KDX-7401      #3", "1.00 ");
    short_product[20] = 0;
    const Case cases[] = {
        {inquiry("KALMIR  ", "KDX-7401      #3", "1.00 "),
         "VENDOR IDENTIFICATION = KALMIR  \nPRODUCT IDENTIFICATION = KDX-7401      #3\n"
         "PRODUCT REVISION = 1.00 \n"},
        {short_product, "VENDOR IDENTIFICATION = KALMIR  \nPRODUCT IDENTIFICATION = KDX-\n"
                        "PRODUCT REVISION = 1.00 \n"},
        {inquiry("AB", "", "9"), "VENDOR IDENTIFICATION = AB\nPRODUCT IDENTIFICATION = \n"
                                 "PRODUCT REVISION = 9\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(capture_stdout([&] { showInquiry(c.data.data()); }), c.text);
    }
}

TEST(Printers, CapacityIsComputedIn64Bits) {
    struct Case {
        Bytes data;
        std::string text;
    };
    const Case cases[] = {
        {{0, 0, 0x0F, 0xFF, 0, 0, 0x02, 0}, "lba=4096 sector=512\nDisksize = 2048 KB\n"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x02, 0},
         "lba=4294967296 sector=512\nDisksize = 2147483648 KB\n"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "lba=1 sector=0\nDisksize = 0 KB\n"},
        {{0, 0, 0, 1, 0, 0, 0x01, 0xFF}, "lba=2 sector=511\nDisksize = 0 KB\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(capture_stdout([&] { showCapacity(c.data.data()); }), c.text);
    }
}

} // namespace
