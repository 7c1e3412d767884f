// SPDX-License-Identifier: MIT
// The Modbus TCP front end, on the daemon's network loop: a fixed set of
// connection slots, requests handed to the module workers. A client never
// waits for another client or for another unit's module.
#pragma once

#include "core/log.h"
#include "front/modbus/modbus_map.h"
#include "transport/net.h"
#include "transport/network_loop.h"
#include "core/worker.h"

#include <chrono>
#include <memory>
#include <vector>

namespace kdxd {

struct ModbusOptions {
    Endpoint endpoint;
    std::vector<Cidr> allow;       // empty: anyone may connect
    std::vector<Cidr> allow_write;
    unsigned max_clients = 32;
    std::chrono::seconds idle_timeout{60}; // 0: never
    // A full house pushes out the connection idle longest, if that long.
    std::chrono::seconds evict_idle{10};
};

// What the daemon's own registers tell of a unit (present, answering,
// watched, the sample's age).
modbus::UnitStatus unit_status(const Worker &worker);

class ModbusRoom {
public:
    // Binds the listening socket; throws std::system_error. It serves once
    // the loop runs, and closes every connection when the loop stops; it
    // must outlive the module workers (requests at them point into it).
    ModbusRoom(ModbusOptions options, NetworkLoop &network, Units &units, Log &log);
    ModbusRoom(const ModbusRoom &) = delete;
    ModbusRoom &operator=(const ModbusRoom &) = delete;
    ~ModbusRoom();

    std::size_t clients() const;
    // New --allow and --allow-write lists, from any thread: they apply to
    // the connections open now too (one no longer admitted is closed, one
    // that lost the right to write is refused its next write).
    void reload_access(std::vector<Cidr> allow, std::vector<Cidr> allow_write);

private:
    class Loop;
    std::unique_ptr<Loop> loop_;
};

} // namespace kdxd
