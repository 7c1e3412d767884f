// SPDX-License-Identifier: MIT
#include "front/mqtt/mqtt_room.h"

#include "front/api.h"
#include "front/mqtt/broker_room.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace kdxd {

namespace {

using api::Answer;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// QoS 1 messages handed to the client and not yet acknowledged: beyond
// this they wait in our own bounded outboxes, not in libmosquitto's queue.
constexpr std::size_t kWindow = 100;
// Command results waiting to go out; more are dropped (their commands
// still ran: the state topic tells).
constexpr std::size_t kResultLimit = 1000;
// A command's payload, as an HTTP body: larger ones are refused unread.
constexpr std::size_t kMaxCommand = 4096;
// A unit's state is read again at most this often, however busy its inputs
// (a read is a dozen commands; the events carry every change meanwhile).
constexpr auto kStateInterval = std::chrono::milliseconds(250);

const std::map<std::string, api::Operation> &commands() {
    static const std::map<std::string, api::Operation> table = {
        {"outputs/set", api::write_outputs},
        {"outputs/toggle", api::toggle_outputs},
        {"counters/clear", api::clear_counters},
        {"settings/set", api::apply_settings},
        {"watchdog/clear", api::clear_watchdog},
    };
    return table;
}

struct Result {
    std::string topic;
    std::string payload;
    std::string correlation;
};

// One unit's waiting messages.
struct Outbox {
    std::deque<ModuleEvent> events;
    uint64_t lost = 0;       // dropped, oldest first, since the last gap went out
    uint64_t lost_after = 0; // the seq before the first of them
    bool state_wanted = true, state_reading = false, discovery_wanted = true;
    Clock::time_point state_read{};
    std::optional<std::string> state; // read, not yet published
};

// What the client's threads, the workers' callbacks and the broker's
// callbacks share. Jobs at workers hold it: they may finish after the room.
struct Shared : LinkState {
    std::map<uint8_t, Outbox> units;
    std::deque<Result> results;
    bool announce = false;
    std::size_t in_flight = 0;
};

} // namespace

void check_prefix(const std::string &prefix) {
    if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' ||
        prefix.find_first_of("+#") != std::string::npos || prefix.find('\0') != std::string::npos) {
        throw std::invalid_argument("the MQTT prefix '" + prefix + "' must be a topic without wildcards (+ #) "
                                    "and without a leading or trailing /");
    }
}

class MqttRoom::Client final : public EventSink, public LinkListener {
public:
    Client(MqttOptions options, Units &units, Log &log);
    ~Client();
    void start();
    void stop();
    bool online() const {
        std::lock_guard guard(shared_->mutex);
        return shared_->connected;
    }

    void deliver(const ModuleEvent &event) override;
    const BrokerLink &link() const { return link_; }

    void connected() override;
    void disconnected() override;
    void acknowledged(int mid) override;
    void received(const mosquitto_message &message, const mosquitto_property *props) override;

private:
    void command(const std::string &unit, const std::string &action, const std::string &payload,
                 const mosquitto_property *props);
    void publisher();
    // false when the client would not take it (no connection): it is kept.
    bool publish(const std::string &topic, const std::string &payload, bool retain,
                 const std::string &correlation = std::string());
    void read_state(uint8_t unit);
    void announce();
    void discovery(const Worker &worker);
    std::string topic(uint8_t unit, const char *leaf) const {
        return options_.prefix + "/" + std::to_string(unit) + "/" + leaf;
    }

    const MqttOptions options_;
    Units &units_;
    Log &log_;
    const std::string boot_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    BrokerLink link_;
    BrokerRoom room_{units_, *this, link_, *shared_};
};

MqttRoom::Client::Client(MqttOptions options, Units &units, Log &log)
    : options_(std::move(options)), units_(units), log_(log), boot_(units.events().boot()),
      link_(options_.broker, *this, log, "MQTT") {
    link_.will(options_.prefix + "/status", "offline", 1, true);
}

MqttRoom::Client::~Client() { stop(); }

void MqttRoom::Client::start() {
    log_.line(Topic::Service, "MQTT to " + options_.broker.host + ":" + std::to_string(options_.broker.port) +
                                  " as " + options_.prefix);
    room_.start([this] { publisher(); });
}

void MqttRoom::Client::stop() {
    room_.stop(options_.prefix + "/status", [] { return std::string("offline"); }, true);
}

void MqttRoom::Client::connected() {
    for (const auto &[action, operation] : commands()) link_.subscribe(options_.prefix + "/+/" + action, 1);
    if (options_.ha_discovery) link_.subscribe(*options_.ha_discovery + "/status", 1);
    {
        std::lock_guard guard(shared_->mutex);
        shared_->connected = true;
        shared_->announce = true;
        shared_->in_flight = 0; // what was unacknowledged is the client's to send again
        shared_->work = true;
    }
    shared_->wake.notify_all();
}

void MqttRoom::Client::disconnected() {
    std::lock_guard guard(shared_->mutex);
    shared_->connected = false;
}

void MqttRoom::Client::acknowledged(int mid) {
    {
        std::lock_guard guard(shared_->mutex);
        if (shared_->in_flight > 0) --shared_->in_flight;
        shared_->acknowledged(mid);
    }
    shared_->wake.notify_all();
}

void MqttRoom::Client::received(const mosquitto_message &message, const mosquitto_property *props) {
    const std::string topic = message.topic;
    const std::string payload(static_cast<const char *>(message.payload),
                              static_cast<std::size_t>(std::max(message.payloadlen, 0)));
    if (options_.ha_discovery && topic == *options_.ha_discovery + "/status") {
        if (payload == "online") { // Home Assistant started again: it asks for discovery anew
            std::lock_guard guard(shared_->mutex);
            for (auto &[unit, box] : shared_->units) box.discovery_wanted = true;
            shared_->work = true;
        }
        shared_->wake.notify_all();
        return;
    }
    const std::string prefix = options_.prefix + "/";
    if (topic.rfind(prefix, 0) != 0) return;
    const std::string rest = topic.substr(prefix.size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos) return;
    command(rest.substr(0, slash), rest.substr(slash + 1), payload, props);
}

// A command from the broker: refused unless the operator allowed them
// (the broker's ACL then decides who may), else the API's operation. The
// result goes to the request's response topic (MQTT 5) or to the unit's
// result topic.
void MqttRoom::Client::command(const std::string &unit, const std::string &action, const std::string &payload,
                               const mosquitto_property *props) {
    Result result;
    result.topic = options_.prefix + "/" + unit + "/result";
    std::optional<std::string> asked_topic;
    char *response_topic = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response_topic, false) != nullptr) {
        asked_topic = response_topic;
        std::free(response_topic);
    }
    // Only where the operator lets results go: else anyone who may command
    // could have the daemon publish on its status, events or state.
    const std::string replies = options_.reply_prefix + "/";
    const bool reply_allowed = !asked_topic || (asked_topic->rfind(replies, 0) == 0 &&
                                                asked_topic->size() > replies.size() &&
                                                asked_topic->find_first_of("+#") == std::string::npos);
    if (asked_topic && reply_allowed) result.topic = *asked_topic;
    void *correlation = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &length, false) != nullptr) {
        result.correlation.assign(static_cast<const char *>(correlation), length);
        std::free(correlation);
    }
    const auto operation = commands().find(action);
    if (operation == commands().end()) return;
    auto answer_with = [shared = shared_, result, action, unit](Answer answer) mutable {
        json body = answer.body.is_object() ? answer.body : json::object();
        body["status"] = answer.status;
        body["command"] = action;
        const auto number = api::plain_number(unit, 255);
        body["unit"] = number ? json(*number) : json(unit);
        result.payload = api::text(body);
        {
            std::lock_guard guard(shared->mutex);
            if (shared->results.size() >= kResultLimit) return;
            shared->results.push_back(std::move(result));
            shared->work = true;
        }
        shared->wake.notify_all();
    };
    if (!reply_allowed) {
        log_.line(Topic::Refusal, "refused MQTT command " + action + " for unit " + unit + ": its response topic '" +
                                      *asked_topic + "' is not under " + replies);
        answer_with(api::failure(403, "a response topic lies under " + replies));
        return;
    }
    if (!options_.allow_commands) {
        log_.line(Topic::Refusal, "refused MQTT command " + action + " for unit " + unit + ": commands are off");
        answer_with(api::failure(403, "commands over MQTT are off (kdx7400d --mqtt-allow-commands)"));
        return;
    }
    if (payload.size() > kMaxCommand) {
        answer_with(api::failure(413, "a command is at most 4 KiB"));
        return;
    }
    const bool bodiless = action == "watchdog/clear" && payload.empty();
    // The broker does not pass on who published; its ACL can tie a reply
    // topic to the client's ID (pattern .../%c/#), so that topic names it.
    auto client = std::make_shared<const kdxd::Client>(kdxd::Client{
        Origin::mqtt, "broker " + options_.broker.host + ":" + std::to_string(options_.broker.port),
        asked_topic ? "reply topic " + *asked_topic : "no reply topic"});
    api::call(units_, unit, true, operation->second, bodiless ? std::string("{}") : payload, std::move(answer_with),
              std::move(client));
}

void MqttRoom::Client::deliver(const ModuleEvent &event) {
    {
        std::lock_guard guard(shared_->mutex);
        Outbox &box = shared_->units[event.unit];
        if (box.events.size() >= options_.outbox) {
            // Oldest first; the gap event will say how many, and after which.
            if (box.lost == 0) box.lost_after = box.events.front().seq - 1;
            box.events.pop_front();
            ++box.lost;
        }
        box.events.push_back(event);
        box.state_wanted = true;
        if (event.kind == ModuleEvent::Kind::plugged) box.discovery_wanted = true;
        shared_->work = true;
    }
    shared_->wake.notify_all();
}

bool MqttRoom::Client::publish(const std::string &topic, const std::string &payload, bool retain,
                               const std::string &correlation) {
    if (link_.publish(topic, payload, 1, retain, correlation) < 0) return false;
    std::lock_guard guard(shared_->mutex);
    ++shared_->in_flight;
    return true;
}

// A unit's state, read on its worker; an absent module's is its summary.
void MqttRoom::Client::read_state(uint8_t unit) {
    Worker *worker = units_.find(unit);
    if (worker == nullptr) return;
    api::monitor_state_on(
        *worker, [shared = shared_, worker, unit](Answer answer) {
            json state = answer.status == 200 ? answer.body : api::summary(*worker);
            {
                std::lock_guard guard(shared->mutex);
                Outbox &box = shared->units[unit];
                box.state_reading = false;
                box.state = api::text(state);
                shared->work = true;
            }
            shared->wake.notify_all();
        });
}

void MqttRoom::Client::announce() {
    publish(options_.prefix + "/status", "online", true);
    std::lock_guard guard(shared_->mutex);
    for (const Worker *worker : units_.all()) {
        Outbox &box = shared_->units[worker->unit()];
        box.state_wanted = true;
        box.discovery_wanted = true;
    }
}

// Home Assistant's discovery: each input a binary_sensor, each output a
// switch, each counter a sensor, all read from the unit's retained state.
void MqttRoom::Client::discovery(const Worker &worker) {
    const auto identity = worker.identity();
    if (!identity) return; // not seen yet: when it is plugged in
    const std::string ha = *options_.ha_discovery;
    std::string node = options_.broker.client_id;
    std::replace_if(node.begin(), node.end(), [](unsigned char c) { return !std::isalnum(c) && c != '_'; }, '_');
    const std::string unit = std::to_string(worker.unit());
    const json device{{"identifiers", json::array({node + "_u" + unit})},
                      {"name", "unit " + unit + " (" + identity->product + ")"},
                      {"model", identity->product},
                      {"sw_version", identity->firmware_version}};
    const std::string state_topic = topic(worker.unit(), "state");
    const auto entity = [&](const char *component, const std::string &id, const std::string &name, json config) {
        config["name"] = name;
        config["unique_id"] = node + "_u" + unit + "_" + id;
        config["state_topic"] = state_topic;
        // Available while the daemon is online and the unit's module present.
        config["availability"] = json::array(
            {{{"topic", options_.prefix + "/status"}},
             {{"topic", state_topic}, {"value_template", "{{ 'online' if value_json.present else 'offline' }}"}}});
        config["availability_mode"] = "all";
        config["device"] = device;
        publish(ha + "/" + component + "/" + node + "/u" + unit + "_" + id + "/config", api::text(config), true);
    };
    const Labels labels = worker.labels();
    const auto named = [](const std::vector<std::string> &names, unsigned ch, const std::string &otherwise) {
        return ch < names.size() && !names[ch].empty() ? names[ch] : otherwise;
    };
    for (unsigned ch = 0; ch < identity->counts.di; ++ch) {
        const std::string bit = std::to_string(uint64_t{1} << ch);
        const std::string on = "{{ 'ON' if (value_json.inputs | int(base=16)) | bitwise_and(" + bit + ") else 'OFF' }}";
        entity("binary_sensor", "in" + std::to_string(ch), named(labels.inputs, ch, "input " + std::to_string(ch)),
               {{"value_template", on}});
        entity("sensor", "count" + std::to_string(ch),
               named(labels.inputs, ch, "input " + std::to_string(ch)) + " pulses",
               {{"value_template", "{{ value_json.counters[" + std::to_string(ch) + "] }}"},
                {"state_class", "total_increasing"}});
    }
    for (unsigned ch = 0; ch < identity->counts.do_; ++ch) {
        const std::string bit = std::to_string(uint64_t{1} << ch);
        json config{
            {"value_template", "{{ 'ON' if (value_json.outputs | int(base=16)) | bitwise_and(" + bit + ") else 'OFF' }}"},
            {"state_on", "ON"},
            {"state_off", "OFF"},
            {"command_topic", topic(worker.unit(), "outputs/set")},
            {"payload_on", api::text(json{{"channel", ch}, {"on", true}})},
            {"payload_off", api::text(json{{"channel", ch}, {"on", false}})}};
        entity("switch", "out" + std::to_string(ch), named(labels.outputs, ch, "output " + std::to_string(ch)), config);
    }
}

// The one thread that publishes: results, then each unit's gap, events and
// state, within the window of unacknowledged messages.
void MqttRoom::Client::publisher() {
    std::unique_lock lock(shared_->mutex);
    for (;;) {
        // Also woken by time alone: a state read waits out its interval.
        shared_->wake.wait_for(lock, kStateInterval, [&] { return shared_->work || shared_->stopping; });
        shared_->work = false;
        if (shared_->stopping) return;
        if (!shared_->connected) continue;
        if (std::exchange(shared_->announce, false)) {
            lock.unlock();
            announce();
            lock.lock();
        }
        while (!shared_->results.empty() && shared_->in_flight < kWindow) {
            Result result = std::move(shared_->results.front());
            shared_->results.pop_front();
            lock.unlock();
            publish(result.topic, result.payload, false, result.correlation);
            lock.lock();
        }
        const auto now = Clock::now();
        for (auto &[unit, box] : shared_->units) {
            if (box.lost > 0 && shared_->in_flight < kWindow) {
                const json gap{{"event", "gap"}, {"unit", unit}, {"boot", boot_}, {"after", box.lost_after},
                               {"lost", box.lost}};
                box.lost = 0;
                lock.unlock();
                publish(topic(unit, "events"), api::text(gap), false);
                lock.lock();
            }
            while (!box.events.empty() && shared_->in_flight < kWindow && box.lost == 0) {
                const ModuleEvent event = box.events.front();
                box.events.pop_front();
                lock.unlock();
                json data = api::event_json(event, boot_);
                data["event"] = api::event_name(event);
                const bool sent = publish(topic(unit, "events"), api::text(data), false);
                lock.lock();
                if (!sent) {
                    box.events.push_front(event); // the connection went: it waits
                    break;
                }
            }
            if (box.state && shared_->in_flight < kWindow) {
                const std::string state = std::move(*box.state);
                box.state.reset();
                lock.unlock();
                publish(topic(unit, "state"), state, true);
                lock.lock();
            }
            if (box.state_wanted && !box.state_reading && now - box.state_read >= kStateInterval) {
                box.state_wanted = false;
                box.state_reading = true;
                box.state_read = now;
                lock.unlock();
                read_state(unit);
                lock.lock();
            }
            if (box.discovery_wanted && options_.ha_discovery) {
                box.discovery_wanted = false;
                lock.unlock();
                if (const Worker *worker = units_.find(unit)) discovery(*worker);
                lock.lock();
            }
        }
    }
}

MqttRoom::MqttRoom(MqttOptions options, Units &units, Log &log)
    : client_(std::make_unique<Client>(std::move(options), units, log)) {}

MqttRoom::~MqttRoom() = default;

void MqttRoom::start() { client_->start(); }

void MqttRoom::stop() { client_->stop(); }

bool MqttRoom::connected() const { return client_->online(); }

uint64_t MqttRoom::refused_publishes() const { return client_->link().refused_publishes(); }

uint64_t MqttRoom::refused_subscriptions() const { return client_->link().refused_subscriptions(); }

void MqttRoom::received(const mosquitto_message &message, const mosquitto_property *properties) {
    client_->received(message, properties);
}

} // namespace kdxd
