// SPDX-License-Identifier: MIT
// Whatever the broker hands the daemon: commands with any topic, payload
// and response topic, Home Assistant's status, the primary host's STATE,
// NCMD and DCMD. Each front end's one message handler must take it without
// an exception; commands reach a virtual module in memory through its
// worker, as in the daemon.
#include "front/mqtt/mqtt_room.h"
#include "front/mqtt/sparkplug_room.h"
#include "input.h"
#include "sg_in_process.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <memory>
#include <string>

namespace {

constexpr const char *kPrefix = "kdx7400/rig";
constexpr const char *kNode = "spBv1.0/plant/NCMD/rig-07";

struct Daemon {
    kdxd::Log log{false};
    kdxd::Units units{std::chrono::milliseconds(0), log};
    std::unique_ptr<kdxd::MqttRoom> mqtt;
    std::unique_ptr<kdxd::SparkplugRoom> sparkplug;

    Daemon() {
        kdxsim::in_process::plug("di=16,do=16");
        kdxd::Target target;
        target.node = kdxsim::in_process::kNode;
        units.add(1, target);
        kdxd::MqttOptions mqtt_options;
        mqtt_options.broker.client_id = "fuzz"; // never connected: nothing is started
        mqtt_options.prefix = kPrefix;
        mqtt_options.reply_prefix = std::string(kPrefix) + "/reply";
        mqtt_options.allow_commands = true;
        mqtt_options.ha_discovery = "homeassistant";
        mqtt = std::make_unique<kdxd::MqttRoom>(mqtt_options, units, log);
        kdxd::SparkplugOptions edge;
        edge.broker.client_id = "fuzz-sparkplug";
        edge.group = "plant";
        edge.node = "rig-07";
        edge.primary_host = "SCADA";
        edge.allow_commands = true;
        sparkplug = std::make_unique<kdxd::SparkplugRoom>(edge, units, log);
    }
};

// A topic each handler reads, with a part the fuzzer chooses where a unit,
// an action or a device goes.
std::string topic_for(uint8_t pick, const std::string &part) {
    switch (pick % 8) {
    case 0: return std::string(kPrefix) + "/" + part + "/outputs/set";
    case 1: return std::string(kPrefix) + "/1/" + part;
    case 2: return std::string(kPrefix) + "/" + part;
    case 3: return "homeassistant/status";
    case 4: return "spBv1.0/STATE/SCADA";
    case 5: return kNode;
    case 6: return "spBv1.0/plant/DCMD/rig-07/" + part;
    default: return part;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Daemon daemon;
    if (size < 3) return 0;
    // Pick, then the topic's part, the response topic and the payload, each
    // ended by 0xFF where the input has one.
    fuzzing::Input input{data + 1, size - 1, 0xFF};
    std::string fields[3];
    for (std::string &field : fields) {
        while (input.size > 0) {
            const uint8_t byte = input.next();
            if (byte == 0xFF) break;
            field.push_back(static_cast<char>(byte));
        }
    }
    const std::string topic = topic_for(data[0], fields[0]);
    mosquitto_property *properties = nullptr;
    if ((data[0] & 0x08) != 0) {
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, fields[1].c_str());
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, fields[1].data(),
                                      static_cast<uint16_t>(fields[1].size()));
    }
    std::string payload(fields[2]);
    payload.append(reinterpret_cast<const char *>(input.data), input.size);
    mosquitto_message message{};
    message.topic = const_cast<char *>(topic.c_str());
    message.payload = payload.data();
    message.payloadlen = static_cast<int>(payload.size());
    message.qos = 1;
    // Both front ends see every message, as two links would.
    daemon.mqtt->received(message, properties);
    daemon.sparkplug->received(message, properties);
    mosquitto_property_free_all(&properties);
    return 0;
}
