// SPDX-License-Identifier: MIT
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <mutex>
#include <utility>

namespace kdxd {

// Where answers from other threads (the module workers) go into an Asio
// loop; closed (context null) once the loop has ended, and then they are
// dropped.
struct Mailbox {
    std::mutex mutex;
    boost::asio::io_context *context = nullptr;

    template <class F> void post(F &&f) {
        F job(std::forward<F>(f)); // destroyed outside the lock if never posted
        std::lock_guard guard(mutex);
        if (context != nullptr) boost::asio::post(*context, std::move(job));
    }
};

} // namespace kdxd
