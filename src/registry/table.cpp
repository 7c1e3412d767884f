// SPDX-License-Identifier: MIT
// The table of open modules: the library's only state.
#include "../internal.h"

#include <cstdio>
#include <cstring>
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

constexpr std::size_t kModuleInfoLength = 128;
constexpr std::size_t kDiTotalOffset = 72;

} // namespace

constinit std::array<module_slot, MAX_DEVICES> g_devices = free_table();

// The table's node column: which /dev/sgN each open slot's descriptor is
// on. Kept beside g_devices, whose layout applications may know.
constinit std::array<std::array<char, kNodeBytes>, MAX_DEVICES> g_nodes{};

void remember_node(int32_t index, const char *path) {
    std::snprintf(g_nodes[static_cast<std::size_t>(index)].data(), kNodeBytes, "%s", path);
}

Result check_index(int32_t index) {
    return static_cast<uint32_t>(index) >= MAX_DEVICES ? RESULT_BAD_INDEX : RESULT_OK;
}

Result check_open(int32_t index) {
    return g_devices[static_cast<std::size_t>(index)].fd < 0 ? RESULT_NOT_OPEN : RESULT_OK;
}

Result check_device(int32_t index) {
    if (const Result result = check_index(index)) {
        return result;
    }
    return check_open(index);
}

module_slot &slot(int32_t index) { return g_devices[static_cast<std::size_t>(index)]; }

module_slot *first_free_slot() {
    for (auto &entry : g_devices) {
        if (entry.fd == -1) {
            return &entry;
        }
    }
    return nullptr;
}

int32_t index_of(const module_slot &entry) {
    return static_cast<int32_t>(&entry - g_devices.data());
}

namespace {

template <uint8_t module_slot::*Count> Result get_count(int32_t index, uint8_t *total) {
    if (const Result result = check_device(index)) {
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

int16_t module_init(module_slot *target) {
    std::array<uint8_t, kdx::kModuleInfoLength> info{};
    if (target == nullptr) {
        return RESULT_NULL_MODULE;
    }
    target->initialized = 1;
    if (const kdx::Result result =
            kdx::read_block(target->fd, LBA_MODULE_INFO, info, kdx::Reply::Validate)) {
        return result;
    }
    // The block lists each pair input first; the slot keeps output first.
    const uint8_t *counts = &info[kdx::kDiTotalOffset];
    target->di_total = counts[0];
    target->do_total = counts[1];
    target->ai_total = counts[2];
    target->ao_total = counts[3];
    target->pi_total = counts[4];
    target->po_total = counts[5];
    return RESULT_OK;
}

int16_t KDX7400_CloseDevice(int32_t index) {
    if (const kdx::Result result = kdx::check_device(index)) {
        return result;
    }
    module_slot &entry = kdx::slot(index);
    ::close(entry.fd);
    entry.fd = -1;
    entry.initialized = 0;
    kdx::g_nodes[static_cast<std::size_t>(index)][0] = '\0';
    return RESULT_OK;
}

int16_t KDX7400_GetDeviceNode(int32_t index, char *buffer, size_t size) {
    if (buffer == nullptr) {
        return RESULT_INVALID_PARAM;
    }
    if (const kdx::Result result = kdx::check_device(index)) {
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

const char *KDXIO_GetLibraryVersion(void) { return "1.0.0"; }

} // extern "C"
