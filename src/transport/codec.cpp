// Byte order of register blocks (little-endian) and of SCSI command blocks
// and capacity data (big-endian), the header magic and the channel width.
#include "../internal.h"

namespace {

template <typename T> void store_le(uint8_t *dst, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        dst[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

template <typename T> T load_le(const uint8_t *src) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value | static_cast<T>(static_cast<T>(src[i]) << (8 * i)));
    }
    return value;
}

template <typename T> void store_be(uint8_t *dst, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        dst[sizeof(T) - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

template <typename T> T load_be(const uint8_t *src) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(static_cast<T>(value << 8) | src[i]);
    }
    return value;
}

} // namespace

extern "C" {

void setU64Val(uint8_t *dst, uint64_t value) { store_le(dst, value); }
void setU32Val(uint8_t *dst, uint32_t value) { store_le(dst, value); }
void setU16Val(uint8_t *dst, uint16_t value) { store_le(dst, value); }
void setU8Val(uint8_t *dst, uint8_t value) { dst[0] = value; }
uint64_t getU64Val(const uint8_t *src) { return load_le<uint64_t>(src); }
uint32_t getU32Val(const uint8_t *src) { return load_le<uint32_t>(src); }
uint16_t getU16Val(const uint8_t *src) { return load_le<uint16_t>(src); }
uint8_t getU8Val(const uint8_t *src) { return src[0]; }
void setU32ValBE(uint8_t *dst, uint32_t value) { store_be(dst, value); }
void setU16ValBE(uint8_t *dst, uint16_t value) { store_be(dst, value); }
uint32_t getU32ValBE(const uint8_t *src) { return load_be<uint32_t>(src); }
uint16_t getU16ValBE(const uint8_t *src) { return load_be<uint16_t>(src); }

void add_IDENTIFY_HEADER(uint8_t *block) { setU32Val(block, IDENTIFY_HEADER_MAGIC); }

int32_t get_do_block_size(uint8_t do_total) { return do_total <= 32 ? 32 : 64; }

} // extern "C"

namespace kdx {

uint64_t read_by_width(const uint8_t *block, std::size_t offset, unsigned count) {
    const uint8_t *field = block + offset;
    switch (channel_width(count)) {
    case 1: return getU8Val(field);
    case 2: return getU16Val(field);
    case 4: return getU32Val(field);
    default: return getU64Val(field);
    }
}

void write_by_width(uint8_t *block, std::size_t offset, unsigned count, uint64_t value) {
    uint8_t *field = block + offset;
    switch (channel_width(count)) {
    case 1: setU8Val(field, static_cast<uint8_t>(value)); break;
    case 2: setU16Val(field, static_cast<uint16_t>(value)); break;
    case 4: setU32Val(field, static_cast<uint32_t>(value)); break;
    default: setU64Val(field, value); break;
    }
}

bool has_magic(std::span<const uint8_t> block) {
    return block.size() >= 4 && getU32Val(block.data()) == IDENTIFY_HEADER_MAGIC;
}

} // namespace kdx
