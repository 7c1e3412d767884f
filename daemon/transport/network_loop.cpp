// SPDX-License-Identifier: MIT
#include "transport/network_loop.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace kdxd {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// Out of descriptors: accepting rests this long before it tries again.
constexpr auto kAcceptPause = std::chrono::milliseconds(250);
constexpr int kAcceptsPerTurn = 64;

} // namespace

NetworkLoop::NetworkLoop() { mailbox_->context = &context_; }

NetworkLoop::~NetworkLoop() { stop(); }

void NetworkLoop::on_stop(std::function<void()> shutdown) { stops_.push_back(std::move(shutdown)); }

void NetworkLoop::start() {
    thread_ = std::thread([this] { context_.run(); });
}

void NetworkLoop::stop() {
    if (!thread_.joinable()) return;
    mailbox_->post([this] {
        for (const auto &shutdown : stops_) shutdown();
        keep_.reset(); // the loop ends once what the front ends closed has ended
    });
    thread_.join();
    std::lock_guard guard(mailbox_->mutex);
    mailbox_->context = nullptr;
}

bool adopt(tcp::socket &socket, int fd, const sockaddr_storage &peer) {
    error_code ec;
    socket.assign(peer.ss_family == AF_INET ? tcp::v4() : tcp::v6(), fd, ec);
    if (ec) ::close(fd);
    return !ec;
}

Listener::Listener(NetworkLoop &loop, const Endpoint &endpoint, std::string what, Log &log, Admit admit)
    : acceptor_(loop.context()), rest_(loop.context()), what_(std::move(what)), log_(log), admit_(std::move(admit)) {
    const int fd = listen_on(endpoint, kBacklog);
    acceptor_.assign(endpoint.address.ss_family == AF_INET ? tcp::v4() : tcp::v6(), fd);
}

void Listener::start() { arm(); }

void Listener::close() {
    closed_ = true;
    rest_.cancel();
    error_code ignored;
    acceptor_.close(ignored);
}

void Listener::arm() {
    acceptor_.async_wait(tcp::acceptor::wait_read, [this](error_code ec) {
        if (closed_ || ec == asio::error::operation_aborted) return;
        take();
    });
}

void Listener::take() {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        const int fd = ::accept4(acceptor_.native_handle(), reinterpret_cast<sockaddr *>(&peer), &size,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                pause(errno);
                return;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            continue; // the peer gave up in the meantime (ECONNABORTED and the like)
        }
        if (short_ && announce_) {
            announce_ = false;
            log_.line(Topic::Service, what_ + ": accepting again");
        }
        short_ = false;
        admit_(fd, peer);
        if (closed_) return;
    }
    arm();
}

void Listener::pause(int error) {
    const auto now = std::chrono::steady_clock::now();
    // Logged once, and again only a minute later: running out comes in
    // waves, as the queue of waiting connections is taken.
    if (!short_ && (!logged_ || now - logged_at_ >= std::chrono::minutes(1))) {
        logged_ = true;
        logged_at_ = now;
        announce_ = true;
        log_.line(Topic::Service, what_ + ": cannot accept: " + std::strerror(error) +
                                      "; accepting pauses until descriptors are free");
    }
    short_ = true;
    rest_.expires_after(kAcceptPause);
    rest_.async_wait([this](error_code ec) {
        if (!ec && !closed_) take();
    });
}

} // namespace kdxd
