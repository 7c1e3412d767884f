// SPDX-License-Identifier: MIT
#include "transport/net.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace kdxd {

namespace {

Address mapped(const in_addr &v4) {
    Address out{};
    out[10] = out[11] = 0xFF;
    std::memcpy(&out[12], &v4, 4);
    return out;
}

bool all_digits(const std::string &text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

} // namespace

bool Cidr::contains(const Address &other) const {
    for (unsigned bit = 0; bit < prefix; ++bit) {
        const unsigned byte = bit / 8, mask = 0x80u >> (bit % 8);
        if ((address[byte] & mask) != (other[byte] & mask)) return false;
    }
    return true;
}

Cidr parse_cidr(const std::string &text) {
    const std::size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    Cidr cidr;
    in_addr v4{};
    in6_addr v6{};
    unsigned longest = 128;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        cidr.address = mapped(v4);
        longest = 32;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        std::memcpy(cidr.address.data(), &v6, 16);
    } else {
        throw std::invalid_argument("bad address range '" + text + "'");
    }
    unsigned prefix = longest;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (!all_digits(digits) || digits.size() > 3 || std::stoul(digits) > longest) {
            throw std::invalid_argument("bad prefix length in '" + text + "'");
        }
        prefix = static_cast<unsigned>(std::stoul(digits));
    }
    cidr.prefix = prefix + (longest == 32 ? 96 : 0);
    return cidr;
}

bool any_contains(const std::vector<Cidr> &ranges, const Address &address) {
    return std::any_of(ranges.begin(), ranges.end(), [&](const Cidr &c) { return c.contains(address); });
}

Endpoint parse_endpoint(const std::string &text) {
    const auto bad = [&](const std::string &why) {
        return std::invalid_argument("bad address '" + text + "': " + why +
                                     " (expected ADDR:PORT or [ADDR6]:PORT, numeric)");
    };
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) throw bad("no port");
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (!all_digits(port) || port.size() > 5 || std::stoul(port) < 1 || std::stoul(port) > 65535) {
        throw bad("the port is 1 to 65535");
    }
    const auto number = static_cast<uint16_t>(std::stoul(port));
    Endpoint endpoint;
    endpoint.text = text;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(endpoint.address);
        if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6.sin6_addr) != 1) {
            throw bad("not an IPv6 address");
        }
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(number);
        endpoint.size = sizeof v6;
        return endpoint;
    }
    auto &v4 = reinterpret_cast<sockaddr_in &>(endpoint.address);
    if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) != 1) {
        throw bad("not an IPv4 address");
    }
    v4.sin_family = AF_INET;
    v4.sin_port = htons(number);
    endpoint.size = sizeof v4;
    return endpoint;
}

namespace {

unsigned port_of(const Endpoint &endpoint) {
    return endpoint.address.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<const sockaddr_in6 &>(endpoint.address).sin6_port)
               : ntohs(reinterpret_cast<const sockaddr_in &>(endpoint.address).sin_port);
}

} // namespace

int listen_on(const Endpoint &endpoint, int backlog) {
    const int fd = ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket for " + endpoint.text);
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (endpoint.address.ss_family == AF_INET6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&endpoint.address), endpoint.size) != 0 ||
        ::listen(fd, backlog) != 0) {
        const int error = errno;
        ::close(fd);
        std::string hint;
        if (error == EACCES && port_of(endpoint) < 1024) {
            // The usual case: the defaults (Modbus on 502) started by hand.
            hint = " (a port below 1024 needs root or CAP_NET_BIND_SERVICE, as the systemd unit gives it; "
                   "as another user choose a port of 1024 or above, e.g. --modbus 127.0.0.1:1502)";
        }
        throw std::system_error(error, std::generic_category(), "cannot listen on " + endpoint.text + hint);
    }
    return fd;
}

Address peer_address(const sockaddr_storage &peer) {
    if (peer.ss_family == AF_INET) {
        return mapped(reinterpret_cast<const sockaddr_in &>(peer).sin_addr);
    }
    Address out{};
    std::memcpy(out.data(), &reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr, 16);
    return out;
}

Address holder_of(const Address &address) {
    static constexpr std::array<uint8_t, 12> kMappedV4{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(kMappedV4.begin(), kMappedV4.end(), address.begin())) return address;
    Address prefix = address;
    std::fill(prefix.begin() + 8, prefix.end(), uint8_t{0});
    return prefix;
}

std::string peer_text(const sockaddr_storage &peer) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (peer.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(peer);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(peer);
    inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6.sin6_port));
}

void tune_client_socket(int fd) {
    const int on = 1, idle = 30, interval = 10, probes = 3;
    const unsigned unacknowledged_ms = 30000;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms, sizeof unacknowledged_ms);
}

} // namespace kdxd
