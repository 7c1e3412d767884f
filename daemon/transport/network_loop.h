// SPDX-License-Identifier: MIT
// The daemon's one network thread: one Asio loop over every listener and
// connection of every front end (HTTP, Modbus TCP, Modbus over TLS), and
// one accept path for all of them.
#pragma once

#include "core/log.h"
#include "transport/mailbox.h"
#include "transport/net.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kdxd {

class NetworkLoop {
public:
    NetworkLoop();
    NetworkLoop(const NetworkLoop &) = delete;
    NetworkLoop &operator=(const NetworkLoop &) = delete;
    ~NetworkLoop();

    boost::asio::io_context &context() { return context_; }
    // Where other threads (the module workers) hand work to the loop.
    const std::shared_ptr<Mailbox> &mailbox() const { return mailbox_; }
    // What a front end does on the loop when the daemon stops: close its
    // listener and its connections. Before start().
    void on_stop(std::function<void()> shutdown);

    void start();
    // Runs every on_stop on the loop, waits for what they closed to end,
    // and ends the thread; work posted after that is dropped.
    void stop();

private:
    boost::asio::io_context context_{1};
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> keep_{context_.get_executor()};
    std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();
    std::vector<std::function<void()>> stops_;
    std::thread thread_;
};

// An accepted descriptor into socket, which is then its owner; false (the
// descriptor closed) when Asio will not take it.
bool adopt(boost::asio::ip::tcp::socket &socket, int fd, const sockaddr_storage &peer);

// A listening socket on the loop. It takes connections in turns of at
// most 64, hands each to admit as a non-blocking descriptor with its
// peer, and when the process runs out of descriptors it rests a while
// instead of spinning, saying so once (again at most once a minute).
class Listener {
public:
    using Admit = std::function<void(int fd, const sockaddr_storage &peer)>;
    // Binds; throws std::system_error. `what` names the front end in the log.
    Listener(NetworkLoop &loop, const Endpoint &endpoint, std::string what, Log &log, Admit admit);
    // Starts taking connections (on the loop, or before it runs).
    void start();
    // On the loop: no more connections.
    void close();

    static constexpr int kBacklog = 1024;

private:
    void arm();
    void take();
    void pause(int error);

    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer rest_;
    const std::string what_;
    Log &log_;
    const Admit admit_;
    bool closed_ = false, short_ = false, logged_ = false, announce_ = false;
    std::chrono::steady_clock::time_point logged_at_{};
};

} // namespace kdxd
