// SPDX-License-Identifier: MIT
#include "transport/folder_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kdxd {

namespace {

constexpr uint32_t kChanges = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                              IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The watch itself ended: the folder was removed, moved or unmounted.
constexpr uint32_t kEnded = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

} // namespace

FolderWatch::FolderWatch(const std::string &folder) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, folder.c_str(), kChanges) < 0) stop();
}

FolderWatch::~FolderWatch() { stop(); }

void FolderWatch::stop() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::optional<uint64_t> FolderWatch::generation() {
    alignas(inotify_event) char events[4096];
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, events, sizeof events);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return generation_;
        if (n <= 0) break;
        ++generation_; // an overflow of the queue also lands here
        for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(n);) {
            inotify_event event;
            std::memcpy(&event, events + at, sizeof event);
            if ((event.mask & kEnded) != 0) {
                stop();
                return std::nullopt;
            }
            at += sizeof event + event.len;
        }
    }
    stop();
    return std::nullopt;
}

} // namespace kdxd
