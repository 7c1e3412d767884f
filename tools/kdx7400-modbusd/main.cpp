// SPDX-License-Identifier: MIT
// kdx7400-modbusd: the KDX-7400 modules of this host as Modbus TCP units,
// served on libmodbus. One process, one poll loop, requests answered in
// arrival order, so calls on one module are serialised without locks.
#include "map.h"

#include <CLI/CLI.hpp>
#include <modbus/modbus.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace modbusd;

volatile std::sig_atomic_t g_stop = 0;

void log(const std::string &line) { std::cerr << "kdx7400-modbusd: " << line << std::endl; }

// An address range in CIDR notation; IPv4 is kept as v4-mapped IPv6.
struct Cidr {
    std::array<uint8_t, 16> address{};
    unsigned prefix = 128;

    bool contains(const std::array<uint8_t, 16> &other) const {
        for (unsigned bit = 0; bit < prefix; ++bit) {
            const unsigned byte = bit / 8, mask = 0x80u >> (bit % 8);
            if ((address[byte] & mask) != (other[byte] & mask)) return false;
        }
        return true;
    }
};

std::array<uint8_t, 16> mapped(const in_addr &v4) {
    std::array<uint8_t, 16> out{};
    out[10] = out[11] = 0xFF;
    std::memcpy(&out[12], &v4, 4);
    return out;
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
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(digits) > longest) {
            throw std::invalid_argument("bad prefix length in '" + text + "'");
        }
        prefix = static_cast<unsigned>(std::stoul(digits));
    }
    cidr.prefix = prefix + (longest == 32 ? 96 : 0);
    return cidr;
}

std::array<uint8_t, 16> peer_address(const sockaddr_storage &peer) {
    if (peer.ss_family == AF_INET) {
        return mapped(reinterpret_cast<const sockaddr_in &>(peer).sin_addr);
    }
    std::array<uint8_t, 16> out{};
    std::memcpy(out.data(), &reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr, 16);
    return out;
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

bool allowed(const std::vector<Cidr> &ranges, const std::array<uint8_t, 16> &address) {
    return std::any_of(ranges.begin(), ranges.end(), [&](const Cidr &c) { return c.contains(address); });
}

struct Client {
    int fd = -1;
    std::string name;
    bool may_write = false;
    std::vector<uint8_t> pending; // bytes of a frame not yet complete
};

struct ModbusDeleter {
    void operator()(modbus_t *ctx) const { modbus_free(ctx); }
};
struct MappingDeleter {
    void operator()(modbus_mapping_t *m) const { modbus_mapping_free(m); }
};

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

class Gateway {
public:
    Gateway(std::vector<Unit> units, std::vector<Cidr> allow, std::vector<Cidr> allow_write,
            unsigned max_clients, bool verbose)
        : allow_(std::move(allow)), allow_write_(std::move(allow_write)),
          max_clients_(max_clients), verbose_(verbose) {
        for (Unit &unit : units) {
            const uint8_t id = unit.target().unit;
            units_.emplace(id, std::move(unit));
        }
    }

    void listen(const std::string &host, const std::string &port);
    void run();

private:
    void accept_client();
    // false when the client is to be dropped.
    bool receive(Client &client);
    void answer(Client &client, const uint8_t *frame, int length);
    void send_reply(const uint8_t *frame, int length, uint8_t function, uint16_t address,
                    uint16_t count, const Reply &reply);

    std::unique_ptr<modbus_t, ModbusDeleter> ctx_;
    int listener_ = -1;
    std::vector<Client> clients_;
    std::map<uint8_t, Unit> units_;
    std::vector<Cidr> allow_, allow_write_;
    unsigned max_clients_;
    bool verbose_;
};

void Gateway::listen(const std::string &host, const std::string &port) {
    ctx_.reset(modbus_new_tcp_pi(host.c_str(), port.c_str()));
    if (!ctx_) {
        throw std::runtime_error("cannot make a Modbus TCP context: " + std::string(modbus_strerror(errno)));
    }
    listener_ = modbus_tcp_pi_listen(ctx_.get(), static_cast<int>(max_clients_));
    if (listener_ < 0) {
        throw std::runtime_error("cannot listen on " + host + " port " + port + ": " + modbus_strerror(errno));
    }
    log("listening on " + host + " port " + port);
}

void Gateway::accept_client() {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    const std::string name = peer_text(peer);
    const auto address = peer_address(peer);
    if (!allow_.empty() && !allowed(allow_, address)) {
        log("refused " + name + ": not in --allow");
        ::close(fd);
        return;
    }
    if (clients_.size() >= max_clients_) {
        log("refused " + name + ": " + std::to_string(max_clients_) + " clients already");
        ::close(fd);
        return;
    }
    const bool may_write = allowed(allow_write_, address);
    log("connect " + name + (may_write ? " (may write)" : " (read only)"));
    clients_.push_back({fd, name, may_write, {}});
}

bool Gateway::receive(Client &client) {
    uint8_t buffer[512];
    const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        log("disconnect " + client.name + (client.pending.empty() ? "" : " (mid-frame)"));
        return false;
    }
    if (got < 0) {
        return true;
    }
    client.pending.insert(client.pending.end(), buffer, buffer + got);
    // MBAP header: transaction, protocol 0, length of unit + PDU.
    while (client.pending.size() >= 7) {
        const uint16_t protocol = be16(&client.pending[2]);
        const uint16_t length = be16(&client.pending[4]);
        if (protocol != 0 || length < 2 || length > 254) {
            log("dropped " + client.name + ": malformed frame (protocol " + std::to_string(protocol) +
                ", length " + std::to_string(length) + ")");
            return false;
        }
        const std::size_t frame = 6u + length;
        if (client.pending.size() < frame) {
            break;
        }
        answer(client, client.pending.data(), static_cast<int>(frame));
        client.pending.erase(client.pending.begin(), client.pending.begin() + static_cast<long>(frame));
    }
    return true;
}

void Gateway::answer(Client &client, const uint8_t *frame, int length) {
    modbus_set_socket(ctx_.get(), client.fd);
    const uint8_t unit_id = frame[6];
    const uint8_t function = frame[7];
    const uint8_t *pdu = frame + 8;
    const int data = length - 8;
    uint16_t address = 0, count = 0;
    std::vector<uint16_t> values;
    Exception refused = Exception::None;
    switch (function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kReadHolding:
    case kReadInput: {
        const unsigned limit = function <= kReadDiscreteInputs ? 2000 : 125;
        if (data != 4) {
            refused = Exception::IllegalValue;
            break;
        }
        address = be16(pdu);
        count = be16(pdu + 2);
        if (count == 0 || count > limit) refused = Exception::IllegalValue;
        break;
    }
    case kWriteCoil:
    case kWriteRegister:
        if (data != 4) {
            refused = Exception::IllegalValue;
            break;
        }
        address = be16(pdu);
        count = 1;
        values.push_back(be16(pdu + 2));
        if (function == kWriteCoil && values[0] != 0xFF00 && values[0] != 0x0000) {
            refused = Exception::IllegalValue;
        }
        if (function == kWriteCoil) values[0] = values[0] != 0;
        break;
    case kWriteCoils:
    case kWriteRegisters: {
        if (data < 5) {
            refused = Exception::IllegalValue;
            break;
        }
        address = be16(pdu);
        count = be16(pdu + 2);
        const unsigned bytes = pdu[4];
        const bool coils = function == kWriteCoils;
        const unsigned limit = coils ? 1968 : 123;
        const unsigned needed = coils ? (count + 7u) / 8u : 2u * count;
        if (count == 0 || count > limit || bytes != needed || static_cast<unsigned>(data - 5) != bytes) {
            refused = Exception::IllegalValue;
            break;
        }
        for (unsigned i = 0; i < count; ++i) {
            values.push_back(coils ? static_cast<uint16_t>((pdu[5 + i / 8] >> (i % 8)) & 1)
                                   : be16(pdu + 5 + 2 * i));
        }
        break;
    }
    default: refused = Exception::IllegalFunction; break;
    }
    Reply reply;
    if (refused == Exception::None && is_write(function) && !client.may_write) {
        refused = Exception::IllegalFunction;
    }
    const auto unit = units_.find(unit_id);
    if (refused == Exception::None && unit == units_.end()) {
        refused = Exception::PathUnavailable;
    }
    kdx::Module *module = refused == Exception::None ? unit->second.module() : nullptr;
    if (refused == Exception::None && module == nullptr) {
        refused = Exception::TargetFailed;
    }
    if (refused == Exception::None) {
        reply = serve(*module, function, address, count, values);
        if (reply.exception == Exception::DeviceFailure) {
            unit->second.lost(); // reopened at the next request, when it is back
        }
    } else {
        reply.exception = refused;
    }
    if (reply.exception != Exception::None && (verbose_ || reply.exception == Exception::DeviceFailure ||
                                                reply.exception == Exception::TargetFailed)) {
        log("unit " + std::to_string(unit_id) + " function " + std::to_string(function) + " address " +
            std::to_string(address) + " from " + client.name + ": exception " +
            std::to_string(static_cast<unsigned>(reply.exception)));
    } else if (verbose_) {
        log("unit " + std::to_string(unit_id) + " function " + std::to_string(function) + " address " +
            std::to_string(address) + " count " + std::to_string(count) + " from " + client.name);
    }
    send_reply(frame, length, function, address, count, reply);
}

void Gateway::send_reply(const uint8_t *frame, int length, uint8_t function, uint16_t address,
                         uint16_t count, const Reply &reply) {
    if (reply.exception != Exception::None) {
        modbus_reply_exception(ctx_.get(), frame, static_cast<unsigned>(reply.exception));
        return;
    }
    const bool bits = function == kReadCoils || function == kWriteCoil || function == kWriteCoils;
    const bool input_bits = function == kReadDiscreteInputs;
    const bool registers = function == kReadHolding || function == kWriteRegister || function == kWriteRegisters;
    const bool input_registers = function == kReadInput;
    std::unique_ptr<modbus_mapping_t, MappingDeleter> mapping(modbus_mapping_new_start_address(
        address, bits ? count : 0, address, input_bits ? count : 0, address, registers ? count : 0, address,
        input_registers ? count : 0));
    if (!mapping) {
        modbus_reply_exception(ctx_.get(), frame, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
        return;
    }
    for (std::size_t i = 0; i < reply.bits.size(); ++i) {
        (bits ? mapping->tab_bits : mapping->tab_input_bits)[i] = reply.bits[i];
    }
    for (std::size_t i = 0; i < reply.registers.size(); ++i) {
        (registers ? mapping->tab_registers : mapping->tab_input_registers)[i] = reply.registers[i];
    }
    modbus_reply(ctx_.get(), frame, length, mapping.get());
}

void Gateway::run() {
    while (g_stop == 0) {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        for (const Client &client : clients_) {
            fds.push_back({client.fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 500) < 0) {
            continue;
        }
        // Clients first, in the order they connected; then new ones.
        std::vector<Client> kept;
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            Client &client = clients_[i];
            const short events = fds[i + 1].revents;
            if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && !receive(client)) {
                ::close(client.fd);
                continue;
            }
            kept.push_back(std::move(client));
        }
        clients_ = std::move(kept);
        if ((fds[0].revents & POLLIN) != 0) {
            accept_client();
        }
    }
    for (const Client &client : clients_) {
        ::close(client.fd);
    }
}

std::pair<std::string, std::string> split_listen(const std::string &text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        throw std::invalid_argument("bad --listen '" + text + "': expected ADDR:PORT or [ADDR6]:PORT");
    }
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return {host, text.substr(colon + 1)};
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"kdx7400-modbusd - KDX-7400 modules of this host as Modbus TCP units (man kdx7400-modbusd)",
                 "kdx7400-modbusd"};
    std::vector<std::string> module_texts, allow_texts, allow_write_texts;
    bool all = false, verbose = false;
    std::string listen = "127.0.0.1:502";
    unsigned max_clients = 32;
    app.add_option("--module", module_texts, "UNIT=PID:BID or UNIT=/dev/sgN (repeatable)");
    app.add_flag("--all", all, "every module found, units 1, 2, ... in node order");
    app.add_option("--listen", listen, "ADDR:PORT, [ADDR6]:PORT (default 127.0.0.1:502)");
    app.add_option("--allow", allow_texts, "CIDR that may connect (repeatable; default anyone)");
    app.add_option("--allow-write", allow_write_texts, "CIDR that may write (repeatable; default loopback)");
    app.add_option("--max-clients", max_clients, "connections at once (default 32)")->check(CLI::Range(1u, 1000u));
    app.add_flag("--verbose", verbose, "log every request");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        return app.exit(error) == 0 ? 0 : 2; // a usage error, as for every other tool
    }

    try {
        std::vector<Unit> units;
        for (const std::string &text : module_texts) {
            units.emplace_back(parse_unit_target(text));
        }
        if (all) {
            uint8_t next = 1;
            for (const kdx::DeviceInfo &device : kdx::list_devices()) {
                UnitTarget target;
                target.unit = next++;
                if (device.product_id && device.board_id) {
                    target.product_id = device.product_id;
                    target.board_id = device.board_id;
                } else {
                    target.node = device.node;
                }
                std::cout << "unit " << unsigned{target.unit} << ": " << device.node << " " << target.describe() << "\n";
                units.emplace_back(target);
            }
            std::cout.flush();
        }
        if (units.empty()) {
            std::cerr << "kdx7400-modbusd: no modules to serve (--module UNIT=PID:BID or --all)\n";
            return 2;
        }
        std::map<unsigned, int> seen;
        for (const Unit &unit : units) {
            if (seen[unit.target().unit]++ != 0) {
                throw std::invalid_argument("unit " + std::to_string(unit.target().unit) + " given twice");
            }
        }
        std::vector<Cidr> allow, allow_write;
        for (const std::string &text : allow_texts) allow.push_back(parse_cidr(text));
        for (const std::string &text : allow_write_texts) allow_write.push_back(parse_cidr(text));
        if (allow_write_texts.empty()) {
            allow_write = {parse_cidr("127.0.0.0/8"), parse_cidr("::1/128")};
        }
        const auto [host, port] = split_listen(listen);
        Gateway gateway(std::move(units), allow, allow_write, max_clients, verbose);
        gateway.listen(host, port);
        std::signal(SIGINT, [](int) { g_stop = 1; });
        std::signal(SIGTERM, [](int) { g_stop = 1; });
        std::signal(SIGPIPE, SIG_IGN); // a client gone mid-reply is only that client's loss
        gateway.run();
        log("stopped");
        return 0;
    } catch (const std::invalid_argument &error) {
        std::cerr << "kdx7400-modbusd: " << error.what() << "\n";
        return 2;
    } catch (const std::exception &error) {
        std::cerr << "kdx7400-modbusd: " << error.what() << "\n";
        return 1;
    }
}
