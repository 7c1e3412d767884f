// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kdxio {

namespace {

// The library can only say "not found" for a node this user may not open;
// say what really stands in the way.
void explain_unopenable(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
    } else if (errno == EACCES || errno == EPERM) {
        throw Failure(path + " is a KDX-7400 module but cannot be opened: " + std::strerror(errno) +
                      " (see udev/60-kdx7400.rules)");
    }
}

std::string failure_text(const std::string &operation, const std::error_code &code) {
    const int c_code = code.value() >= 100 ? 100 - code.value() : code.value();
    return operation + ": " + code.message() + " (" + std::to_string(c_code) + ")";
}

} // namespace

kdx::Module open_module(const Options &options) {
    std::error_code code;
    if (!options.node.empty()) {
        kdx::Module module = kdx::Module::open_node(options.node, code);
        if (code == kdx::errc::not_found) {
            explain_unopenable(options.node.starts_with("/") ? options.node : "/dev/" + options.node);
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
    if (code == kdx::errc::not_found) {
        for (const kdx::DeviceInfo &device : kdx::list_devices(code)) {
            if (device.product_id == pid && device.board_id == bid) {
                explain_unopenable(device.node);
            }
        }
        code = kdx::errc::not_found;
    }
    if (code) {
        throw Failure(failure_text("open " + hex(pid, 4) + " board " + std::to_string(bid), code));
    }
    return module;
}

} // namespace kdxio
