// SPDX-License-Identifier: MIT
// Whether anything in one folder changed, told without a system call per
// question: inotify, read on the network loop.
#pragma once
#include "transport/network_loop.h"

#include <boost/asio/posix/stream_descriptor.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace kdxd {

class FolderWatch {
public:
    // Watches folder's own entries (not those of its subfolders). Never
    // throws: when inotify cannot be had, nothing is watched.
    FolderWatch(NetworkLoop &loop, const std::string &folder);
    FolderWatch(const FolderWatch &) = delete;
    FolderWatch &operator=(const FolderWatch &) = delete;

    // A number that moves whenever an entry changes, on the loop; none
    // while nothing is watched (the folder itself gone, or no inotify),
    // when callers must look for themselves. A change made before a
    // request is seen before it: the loop takes descriptors in the order
    // they became ready.
    std::optional<uint64_t> generation() const;

private:
    void read();

    boost::asio::posix::stream_descriptor events_;
    bool watching_ = false;
    uint64_t generation_ = 0;
    alignas(8) char buffer_[4096];
};

} // namespace kdxd
