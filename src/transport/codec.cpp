// SPDX-License-Identifier: MIT
// Byte order of register blocks (little-endian) and of SCSI command blocks
// and capacity data (big-endian), the header magic and the channel width.
#include "../internal.h"

extern "C" {

void setU64Val(uint8_t *dst, uint64_t value) { kdx::store_le(dst, value); }
void setU32Val(uint8_t *dst, uint32_t value) { kdx::store_le(dst, value); }
void setU16Val(uint8_t *dst, uint16_t value) { kdx::store_le(dst, value); }
void setU8Val(uint8_t *dst, uint8_t value) { dst[0] = value; }
uint64_t getU64Val(const uint8_t *src) { return kdx::load_le<uint64_t>(src); }
uint32_t getU32Val(const uint8_t *src) { return kdx::load_le<uint32_t>(src); }
uint16_t getU16Val(const uint8_t *src) { return kdx::load_le<uint16_t>(src); }
uint8_t getU8Val(const uint8_t *src) { return src[0]; }
void setU32ValBE(uint8_t *dst, uint32_t value) { kdx::store_be(dst, value); }
void setU16ValBE(uint8_t *dst, uint16_t value) { kdx::store_be(dst, value); }
uint32_t getU32ValBE(const uint8_t *src) { return kdx::load_be<uint32_t>(src); }
uint16_t getU16ValBE(const uint8_t *src) { return kdx::load_be<uint16_t>(src); }

void add_IDENTIFY_HEADER(uint8_t *block) { kdx::store_le<uint32_t>(block, IDENTIFY_HEADER_MAGIC); }

int32_t get_do_block_size(uint8_t do_total) { return do_total <= 32 ? 32 : 64; }

} // extern "C"

namespace kdx {

uint64_t read_by_width(const uint8_t *block, std::size_t offset, unsigned count) {
    const uint8_t *field = block + offset;
    switch (channel_width(count)) {
    case 1: return field[0];
    case 2: return load_le<uint16_t>(field);
    case 4: return load_le<uint32_t>(field);
    default: return load_le<uint64_t>(field);
    }
}

void write_by_width(uint8_t *block, std::size_t offset, unsigned count, uint64_t value) {
    uint8_t *field = block + offset;
    switch (channel_width(count)) {
    case 1: field[0] = static_cast<uint8_t>(value); break;
    case 2: store_le<uint16_t>(field, static_cast<uint16_t>(value)); break;
    case 4: store_le<uint32_t>(field, static_cast<uint32_t>(value)); break;
    default: store_le<uint64_t>(field, value); break;
    }
}

bool has_magic(std::span<const uint8_t> block) {
    return block.size() >= 4 && load_le<uint32_t>(block.data()) == IDENTIFY_HEADER_MAGIC;
}

} // namespace kdx
