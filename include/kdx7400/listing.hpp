// SPDX-License-Identifier: MIT
// kdx::list_devices: the modules present, as the C library decodes them.
// Part of kdx7400.hpp.
#pragma once

#include "error.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace kdx {

// One module present, from sysfs; nothing is opened to find it. Without
// the sg class directory (the sg driver not loaded) the list is empty.
struct DeviceInfo {
    std::string node;                    // "/dev/sg2"
    std::optional<uint16_t> product_id;  // USB idProduct, when sysfs shows one
    std::optional<uint8_t> board_id;     // 0-15, when the module reports one
    std::string name;                    // as KDX7400_ListDevice prints it
    std::string product;                 // INQUIRY product, without the revision
};

inline std::vector<DeviceInfo> list_devices(std::error_code &code) noexcept {
    std::array<kdx7400_module_entry, MAX_DEVICES> entries{};
    std::size_t count = 0;
    const int16_t result = KDX7400_GetModuleList(entries.data(), entries.size(), &count);
    std::vector<DeviceInfo> devices;
    const bool no_sg_driver = result == RESULT_OPENDIR_FAILED;
    code = result == RESULT_BUFFER_TOO_SMALL || no_sg_driver ? std::error_code{} : detail::result_code(result);
    if (code) {
        return devices;
    }
    try {
        for (std::size_t i = 0; i < std::min(count, entries.size()); ++i) {
            const kdx7400_module_entry &e = entries[i];
            DeviceInfo info;
            info.node = e.node;
            if (e.has_product_id) {
                info.product_id = e.product_id;
            }
            if (e.board_id >= 0) {
                info.board_id = static_cast<uint8_t>(e.board_id);
            }
            info.name = e.name;
            info.product = e.product;
            devices.push_back(std::move(info));
        }
    } catch (const std::bad_alloc &) {
        code = std::make_error_code(std::errc::not_enough_memory);
        devices.clear();
    }
    return devices;
}

inline std::vector<DeviceInfo> list_devices() {
    std::error_code code;
    auto devices = list_devices(code);
    detail::throw_if(code, "list modules");
    return devices;
}

} // namespace kdx
