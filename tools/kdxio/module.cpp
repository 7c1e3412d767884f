// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include <cerrno>
#include <cstring>
#include <iostream>

namespace kdxio {

namespace {

// A module was there but its node refused this user: the library's own
// words say why and what to do; kdxio adds which node.
[[noreturn]] void refused(const std::string &path, const std::error_code &code) {
    throw Failure(path + ": " + code.message());
}

// Several modules may answer to one product and board ID: say which node
// was taken, and how to choose another.
void name_the_one_opened(const kdx::Module &module, uint16_t pid, uint8_t bid) {
    std::error_code ignored;
    std::vector<std::string> nodes;
    for (const kdx::DeviceInfo &device : kdx::list_devices(ignored)) {
        if (device.product_id == pid && device.board_id == bid) {
            nodes.push_back(device.node);
        }
    }
    if (nodes.size() < 2) {
        return;
    }
    std::string all;
    for (const std::string &node : nodes) {
        all += (all.empty() ? "" : ", ") + node;
    }
    std::cerr << "kdxio: " << nodes.size() << " modules are " << hex(pid, 4) << " board " << int{bid} << " ("
              << all << "): using " << module.node(ignored) << "; -d NODE chooses one\n";
}

std::string failure_text(const std::string &operation, const std::error_code &code) {
    const int c_code = code == kdx::errc::permission_denied ? OPEN_NOT_FOUND
                       : code.value() >= 100                 ? 100 - code.value()
                                                             : code.value();
    return operation + ": " + code.message() + " (" + std::to_string(c_code) + ")";
}

} // namespace

kdx::Module open_module(const Options &options) {
    std::error_code code;
    if (!options.node.empty()) {
        kdx::Module module = kdx::Module::open_node(options.node, code);
        if (code == kdx::errc::permission_denied) {
            refused(options.node.starts_with("/") ? options.node : "/dev/" + options.node, code);
        }
        if (code) {
            throw Failure(failure_text("open " + options.node, code));
        }
        return module;
    }
    if (options.pid_text.empty() || options.bid_text.empty()) {
        throw UsageError("this command needs a module: -p PID -b BID, or -d /dev/sgN");
    }
    const uint16_t pid = parse_product_id(options.pid_text);
    const uint8_t bid = parse_board_id(options.bid_text);
    kdx::Module module = kdx::Module::open(pid, bid, code);
    if (code == kdx::errc::permission_denied) {
        // The listing (sysfs only) names the node when it shows the board.
        std::error_code listing;
        for (const kdx::DeviceInfo &device : kdx::list_devices(listing)) {
            if (device.product_id == pid && device.board_id == bid) {
                refused(device.node, code);
            }
        }
    }
    if (code) {
        throw Failure(failure_text("open " + hex(pid, 4) + " board " + std::to_string(bid), code));
    }
    name_the_one_opened(module, pid, bid);
    return module;
}

} // namespace kdxio
