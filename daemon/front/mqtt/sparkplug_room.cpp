// SPDX-License-Identifier: MIT
#include "front/mqtt/sparkplug_room.h"

#include "front/api.h"
#include "front/mqtt/broker_room.h"
#include "front/mqtt/sparkplug_payload.h"
#include "core/unit_book.h"

#include <mosquitto.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace kdxd {

namespace {

using api::Answer;
using json = nlohmann::json;
using sparkplug::Metric;
using sparkplug::Type;
using Clock = std::chrono::steady_clock;

// A device's state is read again at most this often, however busy.
constexpr auto kStateInterval = std::chrono::milliseconds(100);
constexpr const char *kRebirth = "Node Control/Rebirth";

struct Device {
    bool born = false;
    bool wanted = true, reading = false, death_due = false;
    Clock::time_point read_at{};
    std::optional<std::vector<Metric>> fresh; // read, not yet published; empty: absent
    std::vector<Metric> last;                 // as last published
};

struct Shared : LinkState {
    bool births_due = false, node_born = false, host_online = true;
    std::deque<std::string> our_births; // the NBIRTHs this session sent last
    bool twin_reported = false;   // another node with our ID, logged this session
    uint64_t bdseq = 0; // of the connection now (its will's)
    uint64_t seq = 0;   // the next message's, 0-255
    uint64_t host_timestamp = 0;
    std::map<uint8_t, Device> devices;
};

std::string device_id(uint8_t unit) { return "unit" + std::to_string(unit); }

// A module's metrics from the API's state.
// A group's values with their quality as the state gives it: stale ones
// carry the time they were read.
void mark(std::vector<Metric> &metrics, std::size_t from, const json &quality) {
    const std::string q = quality.is_object() ? quality.value("quality", std::string("unknown")) : "unknown";
    const auto at = quality.is_object() && quality["time"].is_number()
                        ? std::optional<uint64_t>(static_cast<uint64_t>(quality["time"].get<double>() * 1000))
                        : std::nullopt;
    for (std::size_t i = from; i < metrics.size(); ++i) {
        metrics[i].quality = q == "current" ? Metric::Quality::good
                             : q == "stale" ? Metric::Quality::stale
                                            : Metric::Quality::unknown;
        if (q == "stale") metrics[i].read_at_ms = at;
    }
}

std::vector<Metric> metrics_of(const json &state) {
    std::vector<Metric> out;
    const auto &counts = state["identity"]["counts"];
    const json &quality = state.contains("quality") ? state["quality"] : json::object();
    const auto mask = [&](const char *key) {
        return state[key].is_string() ? std::stoull(state[key].get<std::string>(), nullptr, 16) : 0;
    };
    const uint64_t inputs = mask("inputs");
    const uint64_t outputs = mask("outputs");
    for (unsigned ch = 0; ch < counts["di"].get<unsigned>(); ++ch) {
        out.push_back({"Inputs/" + std::to_string(ch), Type::boolean, (inputs >> ch) & 1, {}});
    }
    mark(out, 0, quality.value("inputs", json()));
    std::size_t from = out.size();
    for (unsigned ch = 0; ch < counts["do"].get<unsigned>(); ++ch) {
        out.push_back({"Outputs/" + std::to_string(ch), Type::boolean, (outputs >> ch) & 1, {}});
    }
    mark(out, from, quality.value("outputs", json()));
    from = out.size();
    const json counters = state["counters"].is_array() ? state["counters"] : json::array();
    for (unsigned ch = 0; ch < counts["di"].get<unsigned>(); ++ch) {
        out.push_back({"Counters/" + std::to_string(ch), Type::uint32,
                       ch < counters.size() ? counters[ch].get<uint64_t>() : 0, {}});
    }
    mark(out, from, quality.value("counters", json()));
    out.push_back({"Plugged", Type::boolean, 1, {}});
    out.push_back({"Responding", Type::boolean, state.value("responding", true) ? 1u : 0u, {}});
    out.push_back({"Watchdog/Timeout", Type::uint32, state["watchdog_timeout"].get<uint64_t>(), {}});
    out.push_back({"Identity/Product", Type::string, 0, state["identity"]["product"].get<std::string>()});
    out.push_back({"Identity/Firmware", Type::uint32, state["identity"]["firmware_version"].get<uint64_t>(), {}});
    return out;
}

} // namespace

void check_sparkplug_id(const std::string &what, const std::string &id) {
    if (id.empty() || id.find_first_of("+#/") != std::string::npos) {
        throw std::invalid_argument(what + " '" + id + "' must be a name without + # or /");
    }
}

class SparkplugRoom::Edge final : public EventSink, public LinkListener {
public:
    Edge(SparkplugOptions options, Units &units, Log &log);
    ~Edge() { stop(); }
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
    std::string topic(const char *type, const std::string &device = std::string()) const {
        return "spBv1.0/" + options_.group + "/" + type + "/" + options_.node + (device.empty() ? "" : "/" + device);
    }
    std::string death() const; // the NDEATH of the connection now; under the lock
    void publisher();
    // With the lock held; the seq is taken here, in publishing order.
    void send(std::unique_lock<std::mutex> &lock, const std::string &topic, const std::vector<Metric> &metrics);
    void read_state(uint8_t unit);
    void command(uint8_t unit, const std::vector<Metric> &metrics);
    void refuse(uint8_t unit, const std::string &why);
    // The bdSeq of the session now, kept across restarts; under the lock.
    void keep_bdseq();
    std::optional<std::string> bdseq_path() const {
        if (!options_.state_dir) return std::nullopt;
        return *options_.state_dir + "/sparkplug-bdseq";
    }

    const SparkplugOptions options_;
    Units &units_;
    Log &log_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    BrokerLink link_;
    BrokerRoom room_{units_, *this, link_, *shared_};
};

SparkplugRoom::Edge::Edge(SparkplugOptions options, Units &units, Log &log)
    : options_(std::move(options)), units_(units), log_(log), link_(options_.broker, *this, log, "Sparkplug") {
    shared_->host_online = !options_.primary_host.has_value();
    if (const auto path = bdseq_path()) {
        std::ifstream file(*path);
        unsigned last = 0;
        if (file >> last) shared_->bdseq = (last + 1) % 256; // a new session, by a new process
    }
    link_.will(topic("NDEATH"), death(), 1, false);
}

void SparkplugRoom::Edge::keep_bdseq() {
    const auto path = bdseq_path();
    if (!path) return;
    std::error_code ignored;
    std::filesystem::create_directories(*options_.state_dir, ignored);
    if (const std::string failed = write_whole(*path, std::to_string(shared_->bdseq) + "\n"); !failed.empty()) {
        log_.line(Topic::Service, "Sparkplug: the bdSeq is not kept: " + failed);
    }
}

std::string SparkplugRoom::Edge::death() const {
    // No seq: a death is not in the node's sequence.
    return sparkplug::encode(sparkplug::now_ms(), std::nullopt, {{"bdSeq", Type::int64, shared_->bdseq, {}}});
}

void SparkplugRoom::Edge::start() {
    log_.line(Topic::Service, "Sparkplug B edge node " + options_.group + "/" + options_.node);
    room_.start([this] { publisher(); });
}

void SparkplugRoom::Edge::stop() {
    // A clean stop publishes its death before it disconnects.
    room_.stop(topic("NDEATH"), [this] { return death(); }, false);
}

void SparkplugRoom::Edge::connected() {
    // Commands first, so that none sent after the birth is missed.
    link_.subscribe(topic("NCMD"), 1);
    link_.subscribe(topic("DCMD", "+"), 1);
    // Our own births come back: one that is not ours is a twin's.
    link_.subscribe(topic("NBIRTH"), 0);
    if (options_.primary_host) link_.subscribe("spBv1.0/STATE/" + *options_.primary_host, 1);
    {
        std::lock_guard guard(shared_->mutex);
        keep_bdseq(); // this session's: the next process starts after it
        shared_->connected = true;
        shared_->births_due = true;
        shared_->work = true;
    }
    shared_->wake.notify_all();
}

void SparkplugRoom::Edge::disconnected() {
    std::lock_guard guard(shared_->mutex);
    shared_->connected = false;
    shared_->node_born = false;
    for (auto &[unit, device] : shared_->devices) device.born = false;
    // Births in the next session wait for the host's STATE in it.
    shared_->host_online = !options_.primary_host.has_value();
    shared_->twin_reported = false;
    // The next connection is a new session: its will carries the next bdSeq.
    shared_->bdseq = (shared_->bdseq + 1) % 256;
    link_.will(topic("NDEATH"), death(), 1, false);
}

void SparkplugRoom::Edge::acknowledged(int mid) {
    {
        std::lock_guard guard(shared_->mutex);
        shared_->acknowledged(mid);
    }
    shared_->wake.notify_all();
}

void SparkplugRoom::Edge::received(const mosquitto_message &message, const mosquitto_property *) {
    const std::string topic_text = message.topic;
    const std::string payload(static_cast<const char *>(message.payload),
                              static_cast<std::size_t>(std::max(message.payloadlen, 0)));
    if (options_.primary_host && topic_text == "spBv1.0/STATE/" + *options_.primary_host) {
        const json state = json::parse(payload, nullptr, false);
        if (!state.is_object() || !state.contains("online") || !state["online"].is_boolean()) return;
        // A timestamp of another type is no timestamp: the word is not read.
        if (state.contains("timestamp") && !state["timestamp"].is_number_unsigned()) return;
        const uint64_t stamp = state.contains("timestamp") ? state["timestamp"].get<uint64_t>() : 0;
        std::unique_lock lock(shared_->mutex);
        if (stamp < shared_->host_timestamp) return; // an older word than one already heard
        shared_->host_timestamp = stamp;
        const bool online = state["online"].get<bool>();
        if (online && !shared_->host_online) shared_->births_due = true;
        if (!online && shared_->node_born) {
            // The host is gone: this session ends for it; births wait for its return.
            link_.publish(topic("NDEATH"), death(), 1, false);
            shared_->node_born = false;
            for (auto &[unit, device] : shared_->devices) device.born = false;
        }
        shared_->host_online = online;
        shared_->work = true;
        lock.unlock();
        shared_->wake.notify_all();
        return;
    }
    if (topic_text == topic("NBIRTH")) {
        std::lock_guard guard(shared_->mutex);
        const bool ours = std::find(shared_->our_births.begin(), shared_->our_births.end(), payload) !=
                          shared_->our_births.end();
        if (!ours && !shared_->twin_reported) {
            shared_->twin_reported = true;
            log_.line(Topic::Refusal, "Sparkplug: another edge node publishes births as " + options_.group + "/" +
                                          options_.node + ": hosts cannot tell the two apart (give each its own "
                                          "--sparkplug-node)");
        }
        return;
    }
    const auto metrics = sparkplug::decode(payload);
    if (!metrics) {
        log_.line(Topic::Refusal, "Sparkplug: " + topic_text + ": not a Sparkplug B payload; dropped");
        return;
    }
    if (topic_text == topic("NCMD")) {
        for (const Metric &m : *metrics) {
            if (m.name == kRebirth && m.type == Type::boolean && m.number != 0) {
                std::lock_guard guard(shared_->mutex);
                shared_->births_due = true;
                shared_->work = true;
            }
        }
        shared_->wake.notify_all();
        return;
    }
    const std::string dcmd = topic("DCMD", "unit");
    if (topic_text.rfind(dcmd, 0) == 0) {
        // The device ID exactly as born: unit01 is no device of ours.
        const auto unit = api::plain_number(std::string_view(topic_text).substr(dcmd.size()), 255);
        if (unit) {
            command(static_cast<uint8_t>(*unit), *metrics);
            return;
        }
    }
    log_.line(Topic::Refusal, "Sparkplug: " + topic_text + ": no device of this node; dropped");
}

void SparkplugRoom::Edge::refuse(uint8_t unit, const std::string &why) {
    log_.line(Topic::Refusal, "refused Sparkplug DCMD for unit " + std::to_string(unit) + ": " + why);
}

// A DCMD: its Outputs/N metrics as one masked write, through the API's
// operation (the same checks and lock as any write).
void SparkplugRoom::Edge::command(uint8_t unit, const std::vector<Metric> &metrics) {
    // All or nothing: one metric that is not an output as born (Boolean
    // Outputs/N, N as in its DBIRTH) refuses the command.
    uint64_t mask = 0, value = 0;
    for (const Metric &m : metrics) {
        const auto channel = m.name.rfind("Outputs/", 0) == 0
                                 ? api::plain_number(std::string_view(m.name).substr(8), 63)
                                 : std::nullopt;
        if (!channel) {
            refuse(unit, "'" + m.name + "' is no metric it takes (Outputs/N)");
            return;
        }
        if (m.type != Type::boolean || !m.declared_as_held) {
            refuse(unit, "'" + m.name + "' is a Boolean (datatype 11)");
            return;
        }
        const uint64_t bit = uint64_t{1} << *channel;
        mask |= bit;
        value |= m.number != 0 ? bit : 0;
    }
    if (mask == 0) {
        refuse(unit, "no metric");
        return;
    }
    if (!options_.allow_commands) {
        refuse(unit, "commands are off");
        return;
    }
    const std::string body = api::text(json{{"mask", api::hex(mask)}, {"value", api::hex(value)}});
    api::call(units_, std::to_string(unit), true, api::write_outputs, body, [&log = log_, unit](Answer answer) {
        if (answer.status != 200) {
            log.line(Topic::Refusal, "Sparkplug DCMD for unit " + std::to_string(unit) + ": " +
                                          answer.body.value("error", std::string("refused")));
        }
    }, std::make_shared<const Client>(Client{Origin::sparkplug, "broker " + options_.broker.host + ":" +
                                                                     std::to_string(options_.broker.port),
                                              "DCMD from the host application"}));
}

void SparkplugRoom::Edge::deliver(const ModuleEvent &event) {
    {
        std::lock_guard guard(shared_->mutex);
        Device &device = shared_->devices[event.unit];
        device.wanted = true;
        if (event.kind == ModuleEvent::Kind::unplugged) device.death_due = true;
        shared_->work = true;
    }
    shared_->wake.notify_all();
}

void SparkplugRoom::Edge::read_state(uint8_t unit) {
    Worker *worker = units_.find(unit);
    if (worker == nullptr) return;
    api::monitor_state_on(
        *worker, [shared = shared_, unit](Answer answer) {
            {
                std::lock_guard guard(shared->mutex);
                Device &device = shared->devices[unit];
                device.reading = false;
                device.fresh = answer.status == 200 ? metrics_of(answer.body) : std::vector<Metric>();
                shared->work = true;
            }
            shared->wake.notify_all();
        });
}

void SparkplugRoom::Edge::send(std::unique_lock<std::mutex> &lock, const std::string &topic_text,
                               const std::vector<Metric> &metrics) {
    const std::string payload = sparkplug::encode(sparkplug::now_ms(), shared_->seq, metrics);
    shared_->seq = (shared_->seq + 1) % 256;
    lock.unlock();
    link_.publish(topic_text, payload, 0, false);
    lock.lock();
}

void SparkplugRoom::Edge::publisher() {
    std::unique_lock lock(shared_->mutex);
    for (;;) {
        shared_->wake.wait_for(lock, kStateInterval, [&] { return shared_->work || shared_->stopping; });
        shared_->work = false;
        if (shared_->stopping) return;
        if (!shared_->connected || !shared_->host_online) continue;
        if (std::exchange(shared_->births_due, false)) {
            // A birth (or rebirth) starts the sequence again, with this
            // session's bdSeq, and every device is born again after it.
            shared_->seq = 0;
            const std::string birth = sparkplug::encode(
                sparkplug::now_ms(), 0, {{"bdSeq", Type::int64, shared_->bdseq, {}}, {kRebirth, Type::boolean, 0, {}}});
            shared_->seq = 1;
            shared_->our_births.push_back(birth); // until it comes back, and a few after
            if (shared_->our_births.size() > 8) shared_->our_births.pop_front();
            lock.unlock();
            link_.publish(topic("NBIRTH"), birth, 0, false);
            lock.lock();
            shared_->node_born = true;
            for (const Worker *worker : units_.all()) shared_->devices[worker->unit()];
            for (auto &[unit, device] : shared_->devices) {
                device.born = false;
                device.wanted = true;
                device.read_at = {};
            }
        }
        if (!shared_->node_born) continue;
        const auto now = Clock::now();
        for (auto &[unit, device] : shared_->devices) {
            if (std::exchange(device.death_due, false) && device.born) {
                device.born = false;
                send(lock, topic("DDEATH", device_id(unit)), {});
            }
            if (device.fresh) {
                std::vector<Metric> fresh = std::move(*device.fresh);
                device.fresh.reset();
                if (fresh.empty()) {
                    if (device.born) {
                        device.born = false;
                        send(lock, topic("DDEATH", device_id(unit)), {});
                    }
                } else if (!device.born) {
                    device.born = true;
                    device.last = fresh;
                    send(lock, topic("DBIRTH", device_id(unit)), fresh);
                } else {
                    std::vector<Metric> changed;
                    for (const Metric &m : fresh) {
                        if (std::find(device.last.begin(), device.last.end(), m) == device.last.end()) {
                            changed.push_back(m);
                        }
                    }
                    device.last = std::move(fresh);
                    if (!changed.empty()) send(lock, topic("DDATA", device_id(unit)), changed);
                }
            }
            if (device.wanted && !device.reading && now - device.read_at >= kStateInterval) {
                device.wanted = false;
                device.reading = true;
                device.read_at = now;
                lock.unlock();
                read_state(unit);
                lock.lock();
            }
        }
    }
}

SparkplugRoom::SparkplugRoom(SparkplugOptions options, Units &units, Log &log)
    : edge_(std::make_unique<Edge>(std::move(options), units, log)) {}

SparkplugRoom::~SparkplugRoom() = default;

void SparkplugRoom::start() { edge_->start(); }

void SparkplugRoom::stop() { edge_->stop(); }

bool SparkplugRoom::connected() const { return edge_->online(); }

uint64_t SparkplugRoom::refused_publishes() const { return edge_->link().refused_publishes(); }

uint64_t SparkplugRoom::refused_subscriptions() const { return edge_->link().refused_subscriptions(); }

void SparkplugRoom::received(const mosquitto_message &message, const mosquitto_property *properties) {
    edge_->received(message, properties);
}

} // namespace kdxd
