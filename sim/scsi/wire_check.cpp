// SPDX-License-Identifier: MIT
#include "wire_check.h"

#include "target.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>

namespace kdxsim {

namespace {

constexpr uint8_t kTrigger = 0x5A;
constexpr std::array<uint8_t, 4> kMagic = {0xA5, 0x77, 0x35, 0x5A};

struct Register {
    uint32_t lba;
    std::initializer_list<uint32_t> read_lengths; // empty: write only
    uint32_t write_length;                        // 0: read only
    bool trigger;
};

// Lengths the library addresses each register with (header included).
const Register kRegisters[] = {
    {0x2001, {17}, 17, false}, {0x2002, {17}, 17, false}, {0x2003, {}, 17, true},
    {0x2010, {48}, 48, false}, {0x2011, {}, 20, false},   {0x2012, {}, 17, true},
    {0x2013, {17}, 17, false}, {0x2021, {18}, 18, false}, {0x2022, {17}, 17, false},
    {0x2023, {17}, 17, false}, {0x2024, {271, 272}, 32, false},
    {0x2040, {24}, 24, false}, {0x2041, {24}, 24, false}, {0x2042, {32}, 32, false},
    {0x2043, {17}, 17, false}, {0x20FF, {}, 17, true},
    {0x2100, {128, 50, 60, 63, 64, 71, 72}, 0, false},
};

std::string text(const char *format, uint32_t a, uint32_t b = 0) {
    char buffer[120];
    std::snprintf(buffer, sizeof buffer, format, a, b);
    return buffer;
}

} // namespace

std::string check_register_command(std::span<const uint8_t> cdb, bool to_device,
                                   uint32_t length, std::span<const uint8_t> data,
                                   uint32_t last_block) {
    const std::optional<uint32_t> address = block_address(cdb);
    if (!address || *address <= last_block) {
        return {};
    }
    const uint32_t lba = *address;
    const auto *reg = std::find_if(std::begin(kRegisters), std::end(kRegisters),
                                   [lba](const Register &r) { return r.lba == lba; });
    if (reg == std::end(kRegisters)) {
        return text("address 0x%x is no register", lba);
    }
    const bool write = cdb[0] == kWrite10;
    if (write != to_device) {
        return text("register 0x%x: data direction disagrees with the opcode", lba);
    }
    if (write ? reg->write_length == 0 : reg->read_lengths.size() == 0) {
        return text(write ? "register 0x%x is read only" : "register 0x%x is write only", lba);
    }
    const bool length_ok =
        write ? length == reg->write_length
              : std::find(reg->read_lengths.begin(), reg->read_lengths.end(), length) !=
                    reg->read_lengths.end();
    if (!length_ok) {
        return text("register 0x%x addressed with %u bytes", lba, length);
    }
    const uint32_t blocks = uint32_t{cdb[7]} << 8 | cdb[8];
    if (blocks != 1 || cdb[1] != 0 || cdb[6] != 0 || cdb[9] != 0) {
        return text("register 0x%x: block count %u or reserved CDB bytes wrong", lba, blocks);
    }
    if (!write) {
        return {};
    }
    if (data.size() < length) {
        return text("register 0x%x: %u bytes announced, fewer sent", lba, length);
    }
    if (!std::equal(kMagic.begin(), kMagic.end(), data.begin())) {
        return text("register 0x%x written without the magic", lba);
    }
    if (std::any_of(data.begin() + 4, data.begin() + 16, [](uint8_t b) { return b != 0; })) {
        return text("register 0x%x: header bytes 4 to 15 not zero", lba);
    }
    if (reg->trigger && data[16] != kTrigger) {
        return text("register 0x%x: trigger byte 0x%02x", lba, data[16]);
    }
    return {};
}

} // namespace kdxsim
