// SPDX-License-Identifier: MIT
#include "mqtt_room.h"

#include "api.h"

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
// A unit's state is read again at most this often, however busy its inputs.
constexpr auto kStateInterval = std::chrono::milliseconds(100);

const std::map<std::string, api::Operation> &commands() {
    static const std::map<std::string, api::Operation> table = {
        {"outputs/set", api::write_outputs},
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
struct Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::map<uint8_t, Outbox> units;
    std::deque<Result> results;
    bool connected = false, announce = false, stopping = false;
    bool work = false; // something for the publisher: set under the lock before each wake
    std::size_t in_flight = 0;
    int offline_mid = -1;
    bool offline_sent = false;
};

} // namespace

void parse_broker(const std::string &text, MqttOptions &options) {
    std::string host, port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) throw std::invalid_argument("--mqtt takes HOST:PORT or [ADDR6]:PORT");
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            throw std::invalid_argument("--mqtt takes HOST:PORT or [ADDR6]:PORT");
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) == 0 || std::stoul(port) > 65535) {
        throw std::invalid_argument("--mqtt '" + text + "': a host and a port 1-65535");
    }
    options.host = host;
    options.port = static_cast<int>(std::stoul(port));
}

void read_credentials(const std::string &path, MqttOptions &options) {
    std::ifstream file(path);
    if (!file) {
        throw std::invalid_argument("cannot read the MQTT credentials from '" + path + "': " + std::strerror(errno));
    }
    std::string user, password;
    if (!std::getline(file, user) || user.empty()) {
        throw std::invalid_argument("'" + path + "' has no user name on its first line");
    }
    std::getline(file, password);
    options.username = user;
    options.password = password;
}

void check_prefix(const std::string &prefix) {
    if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' ||
        prefix.find_first_of("+#") != std::string::npos || prefix.find('\0') != std::string::npos) {
        throw std::invalid_argument("the MQTT prefix '" + prefix + "' must be a topic without wildcards (+ #) "
                                    "and without a leading or trailing /");
    }
}

class MqttRoom::Client final : public EventSink {
public:
    Client(MqttOptions options, Units &units, Log &log);
    ~Client();
    void start();
    void stop();
    bool connected() const {
        std::lock_guard guard(shared_->mutex);
        return shared_->connected;
    }

    void deliver(const ModuleEvent &event) override;

private:
    static void on_connect(mosquitto *, void *self, int rc, int flags, const mosquitto_property *);
    static void on_disconnect(mosquitto *, void *self, int rc, const mosquitto_property *);
    static void on_publish(mosquitto *, void *self, int mid, int reason, const mosquitto_property *);
    static void on_message(mosquitto *, void *self, const mosquitto_message *message, const mosquitto_property *props);

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
    mosquitto *mosq_ = nullptr;
    std::thread publisher_;
    bool started_ = false;
};

MqttRoom::Client::Client(MqttOptions options, Units &units, Log &log)
    : options_(std::move(options)), units_(units), log_(log), boot_(units.events().boot()) {
    mosquitto_lib_init();
    // A clean session: what matters after a reconnect is our outbox.
    mosq_ = mosquitto_new(options_.client_id.c_str(), true, this);
    if (mosq_ == nullptr) throw std::runtime_error("cannot make an MQTT client: " + std::string(std::strerror(errno)));
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                         options_.protocol == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(mosq_, on_connect);
    mosquitto_disconnect_v5_callback_set(mosq_, on_disconnect);
    mosquitto_publish_v5_callback_set(mosq_, on_publish);
    mosquitto_message_v5_callback_set(mosq_, on_message);
    mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
    mosquitto_max_inflight_messages_set(mosq_, static_cast<unsigned>(kWindow));
    const std::string status = options_.prefix + "/status";
    mosquitto_will_set_v5(mosq_, status.c_str(), 7, "offline", 1, true, nullptr);
    if (!options_.username.empty()) {
        mosquitto_username_pw_set(mosq_, options_.username.c_str(),
                                  options_.password.empty() ? nullptr : options_.password.c_str());
    }
    if (!options_.tls_ca.empty()) {
        const int rc = mosquitto_tls_set(mosq_, options_.tls_ca.c_str(), nullptr,
                                         options_.tls_cert.empty() ? nullptr : options_.tls_cert.c_str(),
                                         options_.tls_key.empty() ? nullptr : options_.tls_key.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            throw std::invalid_argument(std::string("--mqtt-tls: ") + mosquitto_strerror(rc));
        }
    }
}

MqttRoom::Client::~Client() {
    stop();
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

void MqttRoom::Client::start() {
    // Every unit's events from now on; their states once connected.
    units_.subscribe(*this, EventHub::kAllUnits, units_.events().last(EventHub::kAllUnits));
    log_.line(Topic::Service, "MQTT to " + options_.host + ":" + std::to_string(options_.port) + " as " +
                                  options_.prefix);
    // A broker that is not there yet is tried again, with back-off, by the
    // client's loop.
    mosquitto_connect_async(mosq_, options_.host.c_str(), options_.port, options_.keepalive);
    const int rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(std::string("MQTT: ") + mosquitto_strerror(rc));
    publisher_ = std::thread([this] { publisher(); });
    started_ = true;
}

void MqttRoom::Client::stop() {
    if (!started_) return;
    started_ = false;
    units_.events().unsubscribe(*this);
    {
        std::lock_guard guard(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->wake.notify_all();
    publisher_.join();
    // A clean stop says so itself; the will is for an unclean one.
    std::unique_lock lock(shared_->mutex);
    if (shared_->connected) {
        int mid = 0;
        const std::string status = options_.prefix + "/status";
        if (mosquitto_publish_v5(mosq_, &mid, status.c_str(), 7, "offline", 1, true, nullptr) == MOSQ_ERR_SUCCESS) {
            shared_->offline_mid = mid;
            shared_->wake.wait_for(lock, std::chrono::seconds(2), [&] { return shared_->offline_sent; });
        }
    }
    lock.unlock();
    mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    mosquitto_loop_stop(mosq_, false);
}

void MqttRoom::Client::on_connect(mosquitto *mosq, void *self_ptr, int rc, int, const mosquitto_property *) {
    auto *self = static_cast<Client *>(self_ptr);
    if (rc != 0) {
        self->log_.line(Topic::Service, std::string("MQTT: the broker refused: ") + mosquitto_connack_string(rc));
        return;
    }
    self->log_.line(Topic::Service, "MQTT: connected");
    std::vector<std::string> topics;
    for (const auto &[action, operation] : commands()) topics.push_back(self->options_.prefix + "/+/" + action);
    if (self->options_.ha_discovery) topics.push_back(*self->options_.ha_discovery + "/status");
    for (const std::string &topic : topics) mosquitto_subscribe_v5(mosq, nullptr, topic.c_str(), 1, 0, nullptr);
    {
        std::lock_guard guard(self->shared_->mutex);
        self->shared_->connected = true;
        self->shared_->announce = true;
        self->shared_->in_flight = 0; // what was unacknowledged is the client's to send again
        self->shared_->work = true;
    }
    self->shared_->wake.notify_all();
}

void MqttRoom::Client::on_disconnect(mosquitto *, void *self_ptr, int rc, const mosquitto_property *) {
    auto *self = static_cast<Client *>(self_ptr);
    {
        std::lock_guard guard(self->shared_->mutex);
        if (!self->shared_->connected) return;
        self->shared_->connected = false;
    }
    if (rc != 0) self->log_.line(Topic::Service, std::string("MQTT: connection lost: ") + mosquitto_strerror(rc));
}

void MqttRoom::Client::on_publish(mosquitto *, void *self_ptr, int mid, int, const mosquitto_property *) {
    auto *self = static_cast<Client *>(self_ptr);
    {
        std::lock_guard guard(self->shared_->mutex);
        if (self->shared_->in_flight > 0) --self->shared_->in_flight;
        if (mid == self->shared_->offline_mid) self->shared_->offline_sent = true;
        self->shared_->work = true;
    }
    self->shared_->wake.notify_all();
}

void MqttRoom::Client::on_message(mosquitto *, void *self_ptr, const mosquitto_message *message,
                                  const mosquitto_property *props) {
    auto *self = static_cast<Client *>(self_ptr);
    const std::string topic = message->topic;
    const std::string payload(static_cast<const char *>(message->payload),
                              static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    if (self->options_.ha_discovery && topic == *self->options_.ha_discovery + "/status") {
        if (payload == "online") { // Home Assistant started again: it asks for discovery anew
            std::lock_guard guard(self->shared_->mutex);
            for (auto &[unit, box] : self->shared_->units) box.discovery_wanted = true;
            self->shared_->work = true;
        }
        self->shared_->wake.notify_all();
        return;
    }
    const std::string prefix = self->options_.prefix + "/";
    if (topic.rfind(prefix, 0) != 0) return;
    const std::string rest = topic.substr(prefix.size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos) return;
    self->command(rest.substr(0, slash), rest.substr(slash + 1), payload, props);
}

// A command from the broker: refused unless the operator allowed them
// (the broker's ACL then decides who may), else the API's operation. The
// result goes to the request's response topic (MQTT 5) or to the unit's
// result topic.
void MqttRoom::Client::command(const std::string &unit, const std::string &action, const std::string &payload,
                               const mosquitto_property *props) {
    Result result;
    char *response_topic = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response_topic, false) != nullptr) {
        result.topic = response_topic;
        std::free(response_topic);
    } else {
        result.topic = options_.prefix + "/" + unit + "/result";
    }
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
        const bool number = !unit.empty() && unit.size() <= 3 && unit.find_first_not_of("0123456789") == std::string::npos;
        body["unit"] = number ? json(std::stoi(unit)) : json(unit);
        result.payload = body.dump(-1, ' ', false, json::error_handler_t::replace);
        {
            std::lock_guard guard(shared->mutex);
            if (shared->results.size() >= kResultLimit) return;
            shared->results.push_back(std::move(result));
            shared->work = true;
        }
        shared->wake.notify_all();
    };
    if (!options_.allow_commands) {
        log_.line(Topic::Refusal, "refused MQTT command " + action + " for unit " + unit + ": commands are off");
        answer_with(api::failure(403, "commands over MQTT are off (kdx7400d --mqtt-allow-commands)"));
        return;
    }
    const bool bodiless = action == "watchdog/clear" && payload.empty();
    api::call(units_, unit, true, operation->second, bodiless ? std::string("{}") : payload, std::move(answer_with));
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
    mosquitto_property *props = nullptr;
    if (!correlation.empty()) {
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(std::min<std::size_t>(correlation.size(), 65535)));
    }
    const int rc = mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), 1, retain, props);
    mosquitto_property_free_all(&props);
    if (rc == MOSQ_ERR_SUCCESS) {
        std::lock_guard guard(shared_->mutex);
        ++shared_->in_flight;
    }
    return rc == MOSQ_ERR_SUCCESS;
}

// A unit's state, read on its worker; an absent module's is its summary.
void MqttRoom::Client::read_state(uint8_t unit) {
    Worker *worker = units_.find(unit);
    if (worker == nullptr) return;
    api::on_worker(
        *worker,
        [](kdx::Module &m, Worker &w) { return Answer{200, api::state_of(m, w)}; },
        [shared = shared_, worker, unit](Answer answer) {
            json state = answer.status == 200 ? answer.body : api::summary(*worker);
            {
                std::lock_guard guard(shared->mutex);
                Outbox &box = shared->units[unit];
                box.state_reading = false;
                box.state = state.dump(-1, ' ', false, json::error_handler_t::replace);
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
    std::string node = options_.client_id;
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
        config["availability_topic"] = options_.prefix + "/status";
        config["device"] = device;
        publish(ha + "/" + component + "/" + node + "/u" + unit + "_" + id + "/config", config.dump(), true);
    };
    for (unsigned ch = 0; ch < identity->counts.di; ++ch) {
        const std::string bit = std::to_string(uint64_t{1} << ch);
        const std::string on = "{{ 'ON' if (value_json.inputs | int(base=16)) | bitwise_and(" + bit + ") else 'OFF' }}";
        entity("binary_sensor", "in" + std::to_string(ch), "input " + std::to_string(ch),
               {{"value_template", on}});
        entity("sensor", "count" + std::to_string(ch), "counter " + std::to_string(ch),
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
            {"payload_on", json{{"channel", ch}, {"on", true}}.dump()},
            {"payload_off", json{{"channel", ch}, {"on", false}}.dump()}};
        entity("switch", "out" + std::to_string(ch), "output " + std::to_string(ch), config);
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
                publish(topic(unit, "events"), gap.dump(), false);
                lock.lock();
            }
            while (!box.events.empty() && shared_->in_flight < kWindow && box.lost == 0) {
                const ModuleEvent event = box.events.front();
                box.events.pop_front();
                lock.unlock();
                json data = api::event_json(event, boot_);
                data["event"] = api::event_name(event);
                const bool sent = publish(topic(unit, "events"), data.dump(), false);
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

bool MqttRoom::connected() const { return client_->connected(); }

} // namespace kdxd
