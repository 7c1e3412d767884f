// SPDX-License-Identifier: MIT
// The table of open modules: the library's only state.
#include "../internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <optional>
#include <fcntl.h>
#include <unistd.h>

namespace kdx {

namespace {

constexpr std::array<module_slot, MAX_DEVICES> free_table() {
    std::array<module_slot, MAX_DEVICES> table{};
    for (auto &entry : table) {
        entry.fd = -1;
    }
    return table;
}

constexpr std::size_t kModuleInfoLength = module_map::kModuleInfoBlock;
constexpr std::size_t kDiTotalOffset = module_map::kChannelCounts;

} // namespace

constinit std::array<module_slot, MAX_DEVICES> g_devices = free_table();

// The table's node column: which /dev/sgN each open slot's descriptor is
// on. Kept beside g_devices, whose layout applications may know.
constinit std::array<std::array<char, kNodeBytes>, MAX_DEVICES> g_nodes{};

Result check_index(int32_t index) {
    return static_cast<uint32_t>(index) >= MAX_DEVICES ? RESULT_BAD_INDEX : RESULT_OK;
}

Result check_open(int32_t index) {
    return descriptor_of(g_devices[static_cast<std::size_t>(index)]) < 0 ? RESULT_NOT_OPEN : RESULT_OK;
}

module_slot &slot(int32_t index) { return g_devices[static_cast<std::size_t>(index)]; }

namespace {

// Each open module's residue style, learnt when it was opened.
constinit std::array<std::atomic<Residue>, MAX_DEVICES> g_residues{};

// module_init, and what its read showed of the firmware's residues.
int16_t init_slot(module_slot *target, bool *whole_residue) {
    std::array<uint8_t, kModuleInfoLength> info{};
    if (target == nullptr) {
        return RESULT_NULL_MODULE;
    }
    target->initialized = 1;
    // Taken as it comes: this read is where the firmware's way is learnt.
    if (block_transfer(target->fd, true, LBA_MODULE_INFO, info.data(), kModuleInfoLength, Residue::Whole,
                       whole_residue) != static_cast<int32_t>(kModuleInfoLength)) {
        return RESULT_READ_FAILED;
    }
    if (!has_magic(info)) {
        return RESULT_BAD_HEADER;
    }
    // The block lists each pair input first; the slot keeps output first.
    const uint8_t *counts = &info[kDiTotalOffset];
    target->di_total = counts[0];
    target->do_total = counts[1];
    target->ai_total = counts[2];
    target->ao_total = counts[3];
    target->pi_total = counts[4];
    target->po_total = counts[5];
    return RESULT_OK;
}

} // namespace

Residue residue_of(int32_t fd) {
    for (std::size_t i = 0; i < g_devices.size(); ++i) {
        if (fd >= 0 && __atomic_load_n(&g_devices[i].fd, __ATOMIC_RELAXED) == fd) {
            return g_residues[i].load(std::memory_order_relaxed);
        }
    }
    return Residue::Whole;
}

namespace {

// Each open's generation: the opener's PID above its count of opens, so
// that an index kept from an earlier open, or from another process, is
// told from the open now in the slot. 0 for a free slot.
constinit std::array<std::atomic<uint64_t>, MAX_DEVICES> g_generations{};
constinit uint32_t g_opens = 0; // under the table's lock

uint64_t next_generation() {
    if (++g_opens == 0) {
        ++g_opens;
    }
    return uint64_t{static_cast<uint32_t>(::getpid())} << 32 | g_opens;
}

// A slot being filled by an opener: not free, not yet open.
constexpr int32_t kClaimed = -2;

module_slot *reserve_free_slot() {
    const TableLock table;
    for (auto &entry : g_devices) {
        // Claimed under the table's lock alone: a caller may be looking at
        // this free slot meanwhile, so the store is atomic.
        if (entry.fd == -1) {
            __atomic_store_n(&entry.fd, kClaimed, __ATOMIC_RELAXED);
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

namespace {

// Descriptors of calls in flight, outside the table (nodes being probed or
// opened, sysfs files being read): few at once, one or two per opening
// thread.
constexpr std::size_t kLooseDescriptors = 64;

constexpr std::array<int, kLooseDescriptors> no_descriptors() {
    std::array<int, kLooseDescriptors> loose{};
    loose.fill(-1);
    return loose;
}

constinit std::array<int, kLooseDescriptors> g_loose = no_descriptors();

void forget_loose(int fd) {
    for (int &entry : g_loose) {
        if (entry == fd) {
            entry = -1;
            return;
        }
    }
}

} // namespace

// The open itself is under the table's lock, which a fork waits for: no
// instant exists at which a descriptor is open and the table unaware.
Descriptor::Descriptor(const char *path, int flags) {
    watch_forks();
    const TableLock table;
    int *free_entry = nullptr;
    for (int &entry : g_loose) {
        if (entry < 0) {
            free_entry = &entry;
            break;
        }
    }
    if (free_entry == nullptr) {
        errno = EMFILE;
        return;
    }
    fd_ = ::open(path, flags);
    *free_entry = fd_;
}

Descriptor::~Descriptor() {
    if (fd_ >= 0) {
        const TableLock table;
        forget_loose(fd_);
        ::close(fd_);
    }
}

int Descriptor::publish() {
    forget_loose(fd_);
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void forget_inherited_modules() {
    for (int &entry : g_loose) {
        if (entry >= 0) {
            ::close(entry);
        }
        entry = -1;
    }
    for (std::size_t i = 0; i < g_devices.size(); ++i) {
        if (g_devices[i].fd >= 0) {
            ::close(g_devices[i].fd);
        }
        g_devices[i] = module_slot{};
        g_devices[i].fd = -1;
        g_nodes[i][0] = '\0';
        g_residues[i] = Residue::Whole;
        g_generations[i] = 0;
    }
}

int32_t claim_slot(Descriptor &&node, const char *path) {
    module_slot *reserved = reserve_free_slot();
    if (reserved == nullptr) {
        return OPEN_TABLE_FULL;
    }
    const auto index = static_cast<int32_t>(reserved - g_devices.data());
    // Read outside the table's lock: other opens and calls go on meanwhile.
    module_slot filled{};
    filled.fd = node.get();
    bool whole_residue = false;
    const bool read = init_slot(&filled, &whole_residue) == RESULT_OK;
    Hold hold;
    (void)hold.take_slot(index, Access::Read); // a free slot has no owner to wait for
    const TableLock table;
    if (!read) {
        set_descriptor(*reserved, -1);
        return OPEN_NOT_FOUND;
    }
    // Field by field: callers may be reading the claimed slot's fd.
    reserved->initialized = filled.initialized;
    reserved->do_total = filled.do_total;
    reserved->di_total = filled.di_total;
    reserved->ao_total = filled.ao_total;
    reserved->ai_total = filled.ai_total;
    reserved->po_total = filled.po_total;
    reserved->pi_total = filled.pi_total;
    g_residues[static_cast<std::size_t>(index)] = whole_residue ? Residue::Whole : Residue::Exact;
    g_generations[static_cast<std::size_t>(index)] = next_generation();
    set_descriptor(*reserved, node.publish());
    std::snprintf(g_nodes[static_cast<std::size_t>(index)].data(), kNodeBytes, "%s", path);
    return index;
}

namespace {

// Counts need no module, so no wait behind a transaction: the table's
// lock keeps a concurrent close from freeing the slot under the copy.
template <uint8_t module_slot::*Count> Result get_count(int32_t index, uint8_t *total) {
    if (const Result result = check_index(index)) {
        return result;
    }
    const TableLock table;
    if (const Result result = check_open(index)) {
        return result;
    }
    if (total == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    *total = slot(index).*Count;
    return RESULT_OK;
}

} // namespace

} // namespace kdx

extern "C" {

int16_t module_init(module_slot *target) { return kdx::init_slot(target, nullptr); }

namespace kdx {
namespace {

// Waits for calls in flight on the module, so none uses its descriptor
// after the close, or a descriptor the number is reused for.
Result close_slot(int32_t index, std::optional<uint64_t> generation) {
    Hold hold;
    if (const Result result = hold.take(index, Access::Read)) {
        return result;
    }
    const TableLock table;
    auto &current = g_generations[static_cast<std::size_t>(index)];
    if (generation && current != *generation) {
        return RESULT_NOT_OPEN;
    }
    current = 0;
    module_slot &entry = slot(index);
    ::close(entry.fd);
    set_descriptor(entry, -1);
    entry.initialized = 0;
    g_nodes[static_cast<std::size_t>(index)][0] = '\0';
    end_ownership(index);
    return RESULT_OK;
}

} // namespace
} // namespace kdx

int16_t KDX7400_CloseDevice(int32_t index) { return kdx::close_slot(index, std::nullopt); }

int16_t KDX7400_CloseDeviceGeneration(int32_t index, uint64_t generation) {
    return kdx::close_slot(index, generation);
}

int16_t KDX7400_GetDeviceGeneration(int32_t index, uint64_t *generation) {
    if (const kdx::Result result = kdx::check_index(index)) {
        return result;
    }
    const kdx::TableLock table;
    if (const kdx::Result result = kdx::check_open(index)) {
        return result;
    }
    if (generation == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    *generation = kdx::g_generations[static_cast<std::size_t>(index)];
    return RESULT_OK;
}

// Lock-free: wrappers ask before every call.
int16_t KDX7400_CheckDeviceGeneration(int32_t index, uint64_t generation) {
    if (const kdx::Result result = kdx::check_index(index)) {
        return result;
    }
    const uint64_t current = kdx::g_generations[static_cast<std::size_t>(index)].load(std::memory_order_acquire);
    return current != 0 && current == generation ? RESULT_OK : RESULT_NOT_OPEN;
}

int16_t KDX7400_GetDeviceHolder(int32_t index, int32_t *pid, char *buffer, size_t size) {
    return kdx::find_holder(index, pid, buffer, size);
}

int16_t KDX7400_LockDevice(int32_t index) { return kdx::lock_transaction(index); }

int16_t KDX7400_UnlockDevice(int32_t index) { return kdx::unlock_transaction(index); }

int16_t KDX7400_GetDeviceNode(int32_t index, char *buffer, size_t size) {
    if (buffer == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    if (const kdx::Result result = kdx::check_index(index)) {
        return result;
    }
    const kdx::TableLock table;
    if (const kdx::Result result = kdx::check_open(index)) {
        return result;
    }
    const char *node = kdx::g_nodes[static_cast<std::size_t>(index)].data();
    if (node[0] == '\0') {
        return RESULT_NOT_OPEN; // a slot filled by hand through module_init
    }
    if (std::strlen(node) >= size) {
        return RESULT_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, node, std::strlen(node) + 1);
    return RESULT_OK;
}

int16_t KDX7400_GetDOTotal(int32_t index, uint8_t *total) {
    return kdx::get_count<&module_slot::do_total>(index, total);
}
int16_t KDX7400_GetDITotal(int32_t index, uint8_t *total) {
    return kdx::get_count<&module_slot::di_total>(index, total);
}
int16_t KDX7400_GetAOTotal(int32_t index, uint8_t *total) {
    return kdx::get_count<&module_slot::ao_total>(index, total);
}
int16_t KDX7400_GetAITotal(int32_t index, uint8_t *total) {
    return kdx::get_count<&module_slot::ai_total>(index, total);
}
int16_t KDX7400_GetPOTotal(int32_t index, uint8_t *total) {
    return kdx::get_count<&module_slot::po_total>(index, total);
}
int16_t KDX7400_GetPITotal(int32_t index, uint8_t *total) {
    return kdx::get_count<&module_slot::pi_total>(index, total);
}

int16_t KDX7400_CheckMask(int32_t index, int32_t family, uint64_t mask) {
    uint8_t count = 0;
    const int16_t result = family == KDX7400_OUTPUTS  ? KDX7400_GetDOTotal(index, &count)
                           : family == KDX7400_INPUTS ? KDX7400_GetDITotal(index, &count)
                                                      : int16_t{RESULT_INVALID_PARAM};
    if (result != RESULT_OK) {
        return result;
    }
    return kdx::names_missing_channel(mask, count) ? RESULT_INVALID_PARAM : RESULT_OK;
}

int16_t KDX7400_CheckSetting(int32_t index, int32_t setting, uint64_t value) {
    if (setting == KDX7400_SETTING_POWER_ON || setting == KDX7400_SETTING_SAFETY_MASK) {
        return KDX7400_CheckMask(index, KDX7400_OUTPUTS, value);
    }
    uint8_t outputs = 0;
    if (const int16_t result = KDX7400_GetDOTotal(index, &outputs)) {
        return result; // the index and open tests
    }
    bool valid = false;
    switch (setting) {
    case KDX7400_SETTING_FILTER: valid = value <= 0xFFFF; break;
    case KDX7400_SETTING_INPUT_INVERSE:
    case KDX7400_SETTING_COUNTER_EDGE:
    case KDX7400_SETTING_OUTPUT_INVERSE:
    case KDX7400_SETTING_WRITE_PROTECT: valid = value <= 1; break;
    case KDX7400_SETTING_WATCHDOG:
        valid = value == 0 || (value >= KDX7400_WDT_TIMEOUT_MIN && value <= KDX7400_WDT_TIMEOUT_MAX);
        break;
    case KDX7400_SETTING_FRAME_RATE: valid = value <= 0xFF; break;
    case KDX7400_SETTING_NICKNAME_BYTES: valid = value <= kdx::module_map::kNicknameBytes; break;
    default: break;
    }
    return valid ? RESULT_OK : RESULT_INVALID_PARAM;
}

int16_t KDX7400_CheckChannel(int32_t index, int32_t family, uint32_t channel) {
    // Masks are 64 bits: a higher channel has no bit, whatever the count.
    const uint64_t bit = channel < 64 ? uint64_t{1} << channel : 0;
    const int16_t result = KDX7400_CheckMask(index, family, bit);
    return result == RESULT_OK && bit == 0 ? int16_t{RESULT_INVALID_PARAM} : result;
}

const char *KDXIO_GetLibraryVersion(void) { return "1.0.0"; }

} // extern "C"
