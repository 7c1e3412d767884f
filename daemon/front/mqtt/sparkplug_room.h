// SPDX-License-Identifier: MIT
// A Sparkplug B edge node: the node's birth and death certificates with
// bdSeq, each module a device (DBIRTH, DDATA, DDEATH), rebirth on request,
// outputs written by DCMD through the API's operation, and a primary host
// application's STATE respected.
#pragma once

#include "transport/broker_link.h"
#include "core/log.h"
#include "core/worker.h"

#include <memory>
#include <optional>
#include <string>

namespace kdxd {

struct SparkplugOptions {
    BrokerOptions broker; // its own client ID: the node's will is not the plain MQTT one
    std::string group, node;
    std::optional<std::string> primary_host; // births wait for its STATE online
    bool allow_commands = false;
    // Where the last session's bdSeq is kept, so that a restart starts the
    // next one (hosts tell sessions apart by it); none: from 0 each start.
    std::optional<std::string> state_dir;
};

// A Sparkplug ID (group, node): UTF-8 without + # /; throws std::invalid_argument.
void check_sparkplug_id(const std::string &what, const std::string &id);

class SparkplugRoom {
public:
    SparkplugRoom(SparkplugOptions options, Units &units, Log &log);
    SparkplugRoom(const SparkplugRoom &) = delete;
    SparkplugRoom &operator=(const SparkplugRoom &) = delete;
    ~SparkplugRoom();
    void start();
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
    class Edge;
    std::unique_ptr<Edge> edge_;
};

} // namespace kdxd
