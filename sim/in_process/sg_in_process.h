// SPDX-License-Identifier: MIT
// A virtual module on /dev/sg0 inside the process, for fuzz targets and
// benchmarks that compile or link the library: open() of that path hands
// out a descriptor on /dev/null, and SG_IO on it goes through the sim's sg
// driver to its module model, in memory, with the fault a program chooses
// per command. Every other open and ioctl goes to the kernel. Include it
// from exactly one file of a program, and plug a module in before opening.
#pragma once

#include "../model/module_state.h"
#include "../sg/fault.h"
#include "../sg/sg_driver.h"
#include "testbed.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <scsi/sg.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace kdxsim::in_process {

inline constexpr const char *kNode = "/dev/sg0";

inline ModuleState g_module{};
inline std::vector<uint8_t> g_reserve;
inline uint64_t g_now_ms = 0;
inline int g_descriptor = -1;
// Sees each request before the module does and may choose its fault.
inline std::function<std::optional<Fault>(const sg_io_hdr_t &)> g_before;

// A module as kdx7400-sim describes one ("di=64,do=64"), powered up afresh.
inline void plug(const std::string &description) {
    g_module = initial_state(parse_virtual_module(description));
    g_reserve.clear();
}

} // namespace kdxsim::in_process

extern "C" int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (std::strcmp(path, kdxsim::in_process::kNode) == 0) {
        kdxsim::in_process::g_descriptor =
            static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR | O_CLOEXEC));
        return kdxsim::in_process::g_descriptor;
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    namespace here = kdxsim::in_process;
    if (fd == here::g_descriptor && fd >= 0 && request == SG_IO) {
        auto &header = *static_cast<sg_io_hdr_t *>(argument);
        const std::optional<kdxsim::Fault> fault = here::g_before ? here::g_before(header) : std::nullopt;
        const int result = kdxsim::sg_io(here::g_module, header, fault ? &*fault : nullptr, here::g_now_ms,
                                         here::g_reserve);
        if (result < 0) {
            errno = -result;
            return -1;
        }
        return 0;
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}
