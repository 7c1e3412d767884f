// SPDX-License-Identifier: MIT
// Hex dumps and SCSI data printers for bringing up a module. They write to
// the process's buffered standard output and flush nothing.
#include "../internal.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Prints a fixed-width INQUIRY field up to its first NUL.
void print_field(const char *format, const uint8_t *field, std::size_t length) {
    char text[128] = {};
    std::memcpy(text, field, length);
    std::printf(format, text);
}

} // namespace

extern "C" {

void dumpPackage(const uint8_t *data, int32_t size) {
    std::printf("dump packages %d bytes\n", size);
    std::printf("      ");
    for (int column = 0; column < 16; ++column) {
        std::printf("%02X ", column);
    }
    std::putchar('\n');
    std::printf("     ");
    for (int column = 0; column < 16; ++column) {
        std::printf("---");
    }
    std::putchar('\n');
    for (int32_t i = 0; i < size; ++i) {
        if (i % 16 == 0) {
            std::printf("%03X : ", static_cast<unsigned>(i));
        }
        std::printf("%02X ", data[i]);
        if (i % 16 == 15) {
            std::putchar('\n');
        }
    }
    if ((static_cast<uint32_t>(size) & 0x0Fu) != 0) {
        std::putchar('\n');
    }
}

void showInquiry(const uint8_t *inquiry) {
    print_field("VENDOR IDENTIFICATION = %s\n", inquiry + 8, 8);
    print_field("PRODUCT IDENTIFICATION = %s\n", inquiry + 16, 16);
    print_field("PRODUCT REVISION = %s\n", inquiry + 32, 5);
}

void showCapacity(const uint8_t *capacity) {
    // 64-bit, so a last block of 0xFFFFFFFF does not wrap to an empty disk.
    const uint64_t blocks = uint64_t{kdx::load_be<uint32_t>(capacity)} + 1;
    const uint32_t block_length = kdx::load_be<uint32_t>(capacity + 4);
    std::printf("lba=%" PRIu64 " sector=%u\n", blocks, block_length);
    std::printf("Disksize = %" PRIu64 " KB\n", (blocks * block_length) >> 10);
}

} // extern "C"
