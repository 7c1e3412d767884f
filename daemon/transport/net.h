// SPDX-License-Identifier: MIT
// Addresses as the command line gives them, and the sockets made from them.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace kdxd {

// IPv4 addresses are kept as v4-mapped IPv6, so one range type serves both.
using Address = std::array<uint8_t, 16>;

// An address range in CIDR notation.
struct Cidr {
    Address address{};
    unsigned prefix = 128;
    bool contains(const Address &other) const;
};
// "10.1.2.0/24", "10.1.2.5", "fd00::/8"; throws std::invalid_argument.
Cidr parse_cidr(const std::string &text);
bool any_contains(const std::vector<Cidr> &ranges, const Address &address);

// A list of ranges the operator may change while the daemon runs (its
// configuration, read again on SIGHUP). Safe from any thread.
class LiveCidrs {
public:
    explicit LiveCidrs(std::vector<Cidr> ranges) : ranges_(std::move(ranges)) {}
    void replace(std::vector<Cidr> ranges) {
        std::lock_guard guard(mutex_);
        ranges_ = std::move(ranges);
    }
    bool contains(const Address &address) const {
        std::lock_guard guard(mutex_);
        return any_contains(ranges_, address);
    }
    // An empty --allow admits anyone.
    bool admits(const Address &address) const {
        std::lock_guard guard(mutex_);
        return ranges_.empty() || any_contains(ranges_, address);
    }

private:
    mutable std::mutex mutex_;
    std::vector<Cidr> ranges_;
};

// Where a front end listens: "127.0.0.1:502", "[::1]:1502", "0.0.0.0:502".
// Numeric only: a name could resolve to anything, a port outside 1-65535
// is a typo, and both are refused (std::invalid_argument) rather than bound.
struct Endpoint {
    sockaddr_storage address{};
    socklen_t size = 0;
    std::string text;
};
Endpoint parse_endpoint(const std::string &text);

// A non-blocking listening socket; throws std::system_error.
int listen_on(const Endpoint &endpoint, int backlog);

Address peer_address(const sockaddr_storage &peer);
// Whose connections count together for limits and shares: an IPv4
// address, or an IPv6 /64 (one host, or one customer, commonly holds a
// whole /64).
Address holder_of(const Address &address);
std::string peer_text(const sockaddr_storage &peer);

// No delay for small replies, keepalive so that a peer gone behind a dead
// link is found, and a bound on data the peer never acknowledges.
void tune_client_socket(int fd);

} // namespace kdxd
