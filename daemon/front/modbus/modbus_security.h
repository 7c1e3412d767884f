// SPDX-License-Identifier: MIT
// Modbus/TCP Security: Modbus over TLS (1.2 and 1.3 only), the client
// authenticated by its certificate against the operator's CA, and what it
// may do given by the role its certificate carries (the role extension,
// OID 1.3.6.1.4.1.50316.802.1, a UTF8String) through the operator's role
// table. On the daemon's network loop; requests go to the module workers
// as plain Modbus's do.
#pragma once

#include "core/log.h"
#include "core/worker.h"
#include "transport/net.h"
#include "transport/network_loop.h"

#include <bitset>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kdxd {

// The function codes a role may use.
using FunctionCodes = std::bitset<256>;
// "viewer=1-4", "operator=*", "tuner=1,3,6": throws std::invalid_argument.
std::pair<std::string, FunctionCodes> parse_role(const std::string &text);
// The table when the operator gives none: viewer reads, operator does all.
std::map<std::string, FunctionCodes> default_roles();

struct ModbusSecurityOptions {
    Endpoint endpoint;       // 0.0.0.0:802 by default
    std::string certificate; // the daemon's chain, PEM
    std::string key;
    std::string client_ca;   // whom clients' certificates must chain to
    std::map<std::string, FunctionCodes> roles;
    std::vector<Cidr> allow; // empty: anyone may connect
    unsigned max_clients = 32;
    std::chrono::seconds idle_timeout{60}; // 0: never
};

class ModbusSecurityRoom {
public:
    // Reads the certificates and binds; throws std::invalid_argument for
    // files that will not do, std::system_error for the socket. It serves
    // once the network loop runs; when the loop stops it closes every
    // connection, and answers still at a worker are dropped when they come.
    ModbusSecurityRoom(ModbusSecurityOptions options, NetworkLoop &network, Units &units, Log &log);
    ModbusSecurityRoom(const ModbusSecurityRoom &) = delete;
    ModbusSecurityRoom &operator=(const ModbusSecurityRoom &) = delete;
    ~ModbusSecurityRoom();

    std::size_t clients() const;
    // A new --allow and role table (SIGHUP), for the connections open now
    // too: one no longer admitted is closed, and each request is judged by
    // its role as the table is now.
    void reload_access(std::vector<Cidr> allow, std::map<std::string, FunctionCodes> roles);

    class Loop;

private:
    std::unique_ptr<Loop> loop_;
};

} // namespace kdxd
