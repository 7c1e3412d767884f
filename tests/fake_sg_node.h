// SPDX-License-Identifier: MIT
// /dev/sg0 answered inside the process, for fuzz targets and benchmarks
// that link the library's code: open() of that path hands out a descriptor
// on /dev/null, and SG_IO on it goes to the program's answer function.
// Every other open and ioctl goes to the kernel. Include it from exactly
// one file of a program.
#pragma once

#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fake_sg_node {

// Answers one SG_IO request: 0, or -1 with errno set, as the ioctl would.
int answer(sg_io_hdr_t *request);

inline int g_descriptor = -1;

} // namespace fake_sg_node

extern "C" int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (std::strcmp(path, "/dev/sg0") == 0) {
        fake_sg_node::g_descriptor =
            static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR | O_CLOEXEC));
        return fake_sg_node::g_descriptor;
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (fd == fake_sg_node::g_descriptor && fd >= 0 && request == SG_IO) {
        return fake_sg_node::answer(static_cast<sg_io_hdr_t *>(argument));
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
}
