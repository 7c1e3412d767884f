// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iostream>
#include <sstream>

namespace kdxio {

namespace {

json optional_number(const auto &value) { return value ? json(*value) : json(nullptr); }

void list(const Options &options, bool plain) {
    if (plain && options.json) {
        throw UsageError("list --plain prints the library's own text listing: it has no --json form");
    }
    if (plain) {
        // Without the sg driver there are no modules, as the structured
        // listing says; the library's listing would call it a failure.
        size_t found = 0;
        if (KDX7400_GetDeviceList(nullptr, 0, &found) == RESULT_OPENDIR_FAILED) {
            std::cout << "No KDX-7400 devices found.\n";
            return;
        }
        std::fflush(stdout);
        const int16_t result = KDX7400_ListDevice();
        std::fflush(stdout);
        if (result != RESULT_OK) {
            throw kdx::Error(std::error_code(result, kdx::category()), "list modules");
        }
        return;
    }
    const std::vector<kdx::DeviceInfo> devices = kdx::list_devices();
    json entries = json::array();
    std::ostringstream text;
    if (devices.empty()) {
        text << "No KDX-7400 devices found.\n";
    }
    for (const kdx::DeviceInfo &d : devices) {
        entries.push_back({{"node", d.node},
                           {"product_id", optional_number(d.product_id)},
                           {"product_id_hex", d.product_id ? json(hex(*d.product_id, 4)) : json(nullptr)},
                           {"board_id", optional_number(d.board_id)},
                           {"board_id_hex", d.board_id ? json(std::string(1, "0123456789ABCDEF"[*d.board_id])) : json(nullptr)},
                           {"name", d.name},
                           {"product", d.product}});
        text << d.node << "  pid=" << (d.product_id ? hex(*d.product_id, 4) : "?")
             << "  bid=" << (d.board_id ? std::string(1, "0123456789ABCDEF"[*d.board_id]) : "?") << "  "
             << d.product << "\n";
    }
    emit(options, entries, text.str());
}

} // namespace

void add_list(CLI::App &app, Options &options, Run &run) {
    auto *command = app.add_subcommand("list", "list the modules present (from sysfs)");
    auto plain = std::make_shared<bool>(false);
    command->add_flag("--plain", *plain, "print the library's own listing");
    command->callback([&options, &run, plain] { run = [&options, plain] { list(options, *plain); }; });
}

} // namespace kdxio
