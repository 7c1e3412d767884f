// SPDX-License-Identifier: MIT
// Helpers shared by every operation of the library. Nothing here is
// exported; the public surface is include/kdx7400.h alone.
#pragma once

#include "kdx7400.h"
#include "transport/module_map.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

struct sg_io_hdr;

namespace kdx {

using Result = int16_t;

// ---- byte order ----------------------------------------------------------

// Inline and one load or store each, so that decoding a table of 64
// counters costs no calls; the exported getU32Val and friends are these.
template <typename T> T swap_bytes(T value) {
    if constexpr (sizeof(T) == 2) return __builtin_bswap16(value);
    if constexpr (sizeof(T) == 4) return __builtin_bswap32(value);
    if constexpr (sizeof(T) == 8) return __builtin_bswap64(value);
}

template <typename T, std::endian Order> T load(const uint8_t *src) {
    T value;
    std::memcpy(&value, src, sizeof value);
    return Order == std::endian::native ? value : swap_bytes(value);
}

template <typename T, std::endian Order> void store(uint8_t *dst, T value) {
    const T ordered = Order == std::endian::native ? value : swap_bytes(value);
    std::memcpy(dst, &ordered, sizeof ordered);
}

template <typename T> T load_le(const uint8_t *src) { return load<T, std::endian::little>(src); }
template <typename T> T load_be(const uint8_t *src) { return load<T, std::endian::big>(src); }
template <typename T> void store_le(uint8_t *dst, T value) { store<T, std::endian::little>(dst, value); }
template <typename T> void store_be(uint8_t *dst, T value) { store<T, std::endian::big>(dst, value); }

// ---- register blocks (transport/codec.cpp, transport/block.cpp) ----------

using module_map::channel_width;
using module_map::kPayload;

// Whether a mask names a channel at or beyond count (64 and more: none).
constexpr bool names_missing_channel(uint64_t mask, unsigned count) {
    return count < 64 && (mask >> count) != 0;
}

uint64_t read_by_width(const uint8_t *block, std::size_t offset, unsigned count);
void write_by_width(uint8_t *block, std::size_t offset, unsigned count, uint64_t value);

bool has_magic(std::span<const uint8_t> block);

// A zero-filled block of N bytes stamped with the header magic.
template <std::size_t N> std::array<uint8_t, N> new_block() {
    std::array<uint8_t, N> block{};
    add_IDENTIFY_HEADER(block.data());
    return block;
}

// Whether an operation checks the reply's magic or takes any reply.
enum class Reply { Validate, Accept };

// Reads block.size() bytes at lba into the (zeroed) block:
// RESULT_READ_FAILED, RESULT_BAD_HEADER (Validate only) or RESULT_OK.
Result read_block(int32_t fd, uint32_t lba, std::span<uint8_t> block, Reply reply);
// Writes the whole block at lba: RESULT_WRITE_FAILED or RESULT_OK.
Result write_block(int32_t fd, uint32_t lba, std::span<const uint8_t> block);

// One-byte registers (17-byte blocks, the byte at offset 16).
using module_map::kByteBlock;
Result write_byte(int32_t fd, uint32_t lba, uint8_t value);
Result read_byte(int32_t fd, uint32_t lba, Reply reply, uint8_t &value);
// The same for the module at a device index: index and open tests first,
// and for the getter a missing out-parameter after them.
Result set_byte_register(int32_t index, uint32_t lba, uint8_t value);
Result get_byte_register(int32_t index, uint32_t lba, Reply reply, uint8_t *value);

// ---- inputs (dio/inputs.cpp, dio/counters.cpp) -------------------------------

// The input levels: one read of the module-info block.
Result read_inputs(const module_slot &module, uint64_t &value);
// The first count (at most 64) counters: one read of the counter table.
Result read_counters(const module_slot &module, unsigned count, uint32_t *values);

// ---- SCSI pass-through (transport/scsi.cpp) ------------------------------

// How a module's firmware reports a register block's data phase, learnt at
// open from its first read. Exact: a residue of the whole length with GOOD
// status means no byte moved (the buffer holds the previous command's), and
// fails. Whole: the firmware says so of every short block that did arrive,
// so such a reply must be taken as it comes (nothing tells them apart).
enum class Residue : uint8_t { Exact, Whole };
// READ(10)/WRITE(10) of a block: len when it completed, else 0. whole_residue
// (when given) tells whether a completed command came back GOOD with a
// residue of its whole length.
int32_t block_transfer(int32_t fd, bool read, uint32_t lba, uint8_t *buf, uint32_t len, Residue residue,
                       bool *whole_residue = nullptr);
// The residue style of the open module on fd; Whole for any other fd.
Residue residue_of(int32_t fd);

// Whether an SG_IO command that the driver accepted really completed.
bool command_completed(const sg_io_hdr &request);

// ---- module table (registry/table.cpp) -----------------------------------

// RESULT_BAD_INDEX for an index outside 0..31 (negative ones included).
Result check_index(int32_t index);
// RESULT_NOT_OPEN for a free slot; the index must have passed check_index.
Result check_open(int32_t index);
// The slot of an index that passed check_index.
module_slot &slot(int32_t index);
// A slot's descriptor, read atomically: an opener claims a free slot
// under the table's lock while callers may look at it.
inline int32_t descriptor_of(const module_slot &entry) {
    return __atomic_load_n(&entry.fd, __ATOMIC_ACQUIRE);
}
// Its store: a caller that sees the descriptor sees the counts filled
// before it.
inline void set_descriptor(module_slot &entry, int32_t fd) { __atomic_store_n(&entry.fd, fd, __ATOMIC_RELEASE); }
// The sg node path an opened slot's descriptor is on ("/dev/sg3").
inline constexpr std::size_t kNodeBytes = 24;
// Puts an opened descriptor into the first free slot and reads the
// module's counts there: the index, OPEN_TABLE_FULL, or OPEN_NOT_FOUND
// when the module info cannot be read. The descriptor is the table's or
// closed on every path.
class Descriptor;
int32_t claim_slot(Descriptor &&node, const char *path);

// ---- module locks (registry/lock.cpp) --------------------------------------

// Read: one thread of this process at a time. Write: also no other process
// that opened the node, through an advisory flock on it.
enum class Access { Read, Write };

// Owns the module at an index for one operation: waits up to the command
// time-out for it, then RESULT_BUSY with nothing sent. Re-entrant on one
// thread; released when the Hold goes.
class Hold {
public:
    Hold() = default;
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
    ~Hold() { release(); }
    // The index test, the wait, then the open test.
    Result take(int32_t index, Access access);
    // The index test and the wait only, for calls that test more between
    // the index and open tests, or make no open test.
    Result take_slot(int32_t index, Access access);
    const module_slot &module() const { return slot(index_); }
    int32_t fd() const { return slot(index_).fd; }
    void release();
    // Leaves the module owned after this Hold (a caller's transaction).
    void keep() { index_ = -1; }

private:
    int32_t index_ = -1;
};

// The table's own lock, held while slots are claimed, filled or freed.
class TableLock {
public:
    TableLock();
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
    ~TableLock();
};

void end_ownership(int32_t index);
// Registers the fork handlers, once (the first open): a child starts with
// no module of its parent's open, and with no lock its threads held.
void watch_forks();
// In the child after a fork: every inherited slot freed, its descriptor
// and those of calls in flight closed (the parent's flock on the open file
// stays the parent's).
void forget_inherited_modules();
Result lock_transaction(int32_t index);
Result find_holder(int32_t index, int32_t *pid, char *buffer, std::size_t size);
Result unlock_transaction(int32_t index);

// ---- descriptors and sysfs (registry/) -----------------------------------

// Owns a file descriptor for the length of one call, unless published
// into the table. Opened, published and closed under the table's lock and
// known to it meanwhile, so that a child forked at any instant closes it.
class Descriptor {
public:
    Descriptor() = default;
    // open(2) of path; errno says why not.
    Descriptor(const char *path, int flags);
    Descriptor(Descriptor &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor &operator=(Descriptor &&) = delete;
    Descriptor(const Descriptor &) = delete;
    ~Descriptor();
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Under the table's lock: the table owns the descriptor from now on.
    int publish();

private:
    int fd_ = -1;
};

// USB idProduct above an sg node; 0 when found, -1 otherwise.
int get_idproduct_from_sg(const char *node, uint16_t *product_id);

// Node order as the kernel numbers them: sg2 before sg10, whatever order
// the directory gave.
bool node_number_before(const char *a, const char *b);

} // namespace kdx
