// SPDX-License-Identifier: MIT
#include "transport/folder_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

namespace kdxd {

namespace {

constexpr uint32_t kChanges = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                              IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The watch itself ended: the folder was removed, moved or unmounted.
constexpr uint32_t kEnded = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

} // namespace

FolderWatch::FolderWatch(NetworkLoop &loop, const std::string &folder) : events_(loop.context()) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return;
    if (::inotify_add_watch(fd, folder.c_str(), kChanges) < 0) {
        ::close(fd);
        return;
    }
    boost::system::error_code ec;
    events_.assign(fd, ec);
    if (ec) {
        ::close(fd);
        return;
    }
    watching_ = true;
    // Started on the loop: the object is whole by then.
    boost::asio::post(loop.context(), [this] { read(); });
    // A read left waiting would keep the loop from ending.
    loop.on_stop([this] {
        watching_ = false;
        boost::system::error_code ignored;
        events_.close(ignored);
    });
}

std::optional<uint64_t> FolderWatch::generation() const {
    if (!watching_) return std::nullopt;
    return generation_;
}

void FolderWatch::read() {
    events_.async_read_some(boost::asio::buffer(buffer_), [this](boost::system::error_code ec, std::size_t n) {
        if (ec == boost::asio::error::operation_aborted) return;
        ++generation_; // an overflow of the queue also lands here
        for (std::size_t at = 0; !ec && at + sizeof(inotify_event) <= n;) {
            inotify_event event;
            std::memcpy(&event, buffer_ + at, sizeof event);
            if ((event.mask & kEnded) != 0) ec = boost::asio::error::not_found;
            at += sizeof event + event.len;
        }
        if (ec) {
            watching_ = false;
            boost::system::error_code ignored;
            events_.close(ignored);
            return;
        }
        read();
    });
}

} // namespace kdxd
