// SPDX-License-Identifier: MIT
// Whether anything in one folder changed, told by one read of an inotify
// descriptor, which costs less than a stat of a path and covers every
// file of the folder at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kdxd {

class FolderWatch {
public:
    // Watches folder's own entries (not those of its subfolders). Never
    // throws: when inotify cannot be had, nothing is watched.
    explicit FolderWatch(const std::string &folder);
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;
    ~FolderWatch();

    // A number that has moved if an entry changed since it was last asked:
    // the kernel queues the event inside the call that made the change, so
    // a request that follows a change sees it. None while nothing is
    // watched (the folder itself gone, or no inotify): callers look for
    // themselves.
    std::optional<uint64_t> generation();

private:
    void stop();

    int fd_ = -1;
    uint64_t generation_ = 0;
};

} // namespace kdxd
