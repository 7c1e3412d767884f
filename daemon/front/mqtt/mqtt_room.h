// SPDX-License-Identifier: MIT
// The MQTT front end: a client of the plant's broker (libmosquitto), not a
// server. Each unit's state is kept retained, its events go out with QoS 1
// in order, waiting in a bounded outbox while the broker is away, and
// commands arrive on topics, through the same operations as the HTTP API.
#pragma once

#include "transport/broker_link.h"
#include "core/log.h"
#include "core/worker.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kdxd {

struct MqttOptions {
    BrokerOptions broker;
    std::string prefix; // kdx7400/<hostname>
    // Where results may be sent at a command's asking (MQTT 5 response
    // topic): under this topic only (default <prefix>/reply).
    std::string reply_prefix;
    bool allow_commands = false;
    std::optional<std::string> ha_discovery; // Home Assistant's prefix
    std::size_t outbox = 10000;              // events waiting per unit
};
// A topic prefix: not empty, no wildcard, no leading or trailing '/';
// throws std::invalid_argument.
void check_prefix(const std::string &prefix);

class MqttRoom {
public:
    MqttRoom(MqttOptions options, Units &units, Log &log);
    MqttRoom(const MqttRoom &) = delete;
    MqttRoom &operator=(const MqttRoom &) = delete;
    ~MqttRoom();

    void start();
    // Publishes "offline", disconnects and ends the client's threads.
    void stop();

    bool connected() const;
    // What the broker refused (its ACL): publishes, subscriptions.
    uint64_t refused_publishes() const;
    uint64_t refused_subscriptions() const;
    // A message from the broker, as the link hands it over: every topic
    // this front end takes ends here (a fuzzer's way in, too). Never throws
    // for what the message holds.
    void received(const mosquitto_message &message, const mosquitto_property *properties);

private:
    class Client;
    std::unique_ptr<Client> client_;
};

} // namespace kdxd
