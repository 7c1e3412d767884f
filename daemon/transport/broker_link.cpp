// SPDX-License-Identifier: MIT
#include "transport/broker_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace kdxd {

namespace {

// libmosquitto's library state, for as long as any link lives.
struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

} // namespace

void parse_broker(const std::string &text, BrokerOptions &options) {
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

void read_credentials(const std::string &path, BrokerOptions &options) {
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

BrokerLink::BrokerLink(const BrokerOptions &options, LinkListener &listener, Log &log, const std::string &name)
    : options_(options), listener_(listener), log_(log), name_(name) {
    static Library library;
    // A clean session: what must survive a reconnect waits in our outboxes.
    mosq_ = mosquitto_new(options_.client_id.c_str(), true, this);
    if (mosq_ == nullptr) throw std::runtime_error("cannot make an MQTT client: " + std::string(std::strerror(errno)));
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                         options_.protocol == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_v5_callback_set(mosq_, on_connect);
    mosquitto_disconnect_v5_callback_set(mosq_, on_disconnect);
    mosquitto_publish_v5_callback_set(mosq_, on_publish);
    mosquitto_subscribe_v5_callback_set(mosq_, on_subscribe);
    mosquitto_message_v5_callback_set(mosq_, on_message);
    mosquitto_log_callback_set(mosq_, on_log);
    mosquitto_threaded_set(mosq_, true); // publishes come from other threads
    if (!options_.username.empty()) {
        mosquitto_username_pw_set(mosq_, options_.username.c_str(),
                                  options_.password.empty() ? nullptr : options_.password.c_str());
    }
    if (!options_.tls_ca.empty()) {
        for (const auto &[option, file] : {std::pair{"--mqtt-tls", options_.tls_ca}, {"--mqtt-tls-cert", options_.tls_cert},
                                           {"--mqtt-tls-key", options_.tls_key}}) {
            if (!file.empty() && ::access(file.c_str(), R_OK) != 0) {
                const std::string why = std::strerror(errno);
                mosquitto_destroy(mosq_);
                throw std::invalid_argument(std::string(option) + ": cannot read '" + file + "': " + why);
            }
        }
        const int rc = mosquitto_tls_set(mosq_, options_.tls_ca.c_str(), nullptr,
                                         options_.tls_cert.empty() ? nullptr : options_.tls_cert.c_str(),
                                         options_.tls_key.empty() ? nullptr : options_.tls_key.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(mosq_);
            throw std::invalid_argument(std::string("--mqtt-tls: ") + mosquitto_strerror(rc));
        }
    }
}

BrokerLink::~BrokerLink() {
    stop();
    mosquitto_destroy(mosq_);
}

void BrokerLink::will(const std::string &topic, const std::string &payload, int qos, bool retain) {
    mosquitto_will_set_v5(mosq_, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain,
                          nullptr);
}

void BrokerLink::start() {
    closing_ = false;
    supervisor_ = std::thread([this] { supervise(); });
    started_ = true;
}

void BrokerLink::disconnect() { mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr); }

void BrokerLink::stop() {
    if (!started_) return;
    started_ = false;
    {
        std::lock_guard guard(mutex_);
        closing_ = true;
        // Time for the DISCONNECT to go out, so that the will is not sent.
        closing_deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    }
    wake_.notify_all();
    disconnect();
    supervisor_.join();
}

std::chrono::milliseconds BrokerLink::back_off(unsigned failures, double random) {
    const double seconds = std::min(30.0, std::ldexp(1.0, static_cast<int>(std::min(failures, 5u))));
    return std::chrono::milliseconds(static_cast<long>(seconds * 1000.0 * (1.0 - 0.2 * random)));
}

void BrokerLink::supervise() {
    std::minstd_rand random(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::uniform_real_distribution<double> jitter(0.0, 1.0);
    unsigned failures = 0;
    const std::string where = options_.host + ":" + std::to_string(options_.port);
    for (;;) {
        std::string cause;
        const bool accepted = run_connection(cause);
        std::unique_lock lock(mutex_);
        if (closing_) return;
        failures = accepted ? 0 : failures;
        const auto delay = back_off(failures, jitter(random));
        ++failures;
        lock.unlock();
        char again[32];
        std::snprintf(again, sizeof again, "%.1f s", static_cast<double>(delay.count()) / 1000.0);
        log_.line(Topic::Service, name_ + (accepted ? ": connection to " : ": cannot connect to ") + where + ": " +
                                      cause + "; trying again in " + again);
        lock.lock();
        if (wake_.wait_for(lock, delay, [&] { return closing_; })) return;
    }
}

bool BrokerLink::run_connection(std::string &cause) {
    {
        std::lock_guard guard(mutex_);
        accepted_ = false;
        last_error_.clear();
    }
    refusal_.clear();
    int rc = mosquitto_connect_async(mosq_, options_.host.c_str(), options_.port, options_.keepalive);
    // No CONNACK within this: a host that swallows the connection, or a
    // TLS peer that never answers.
    const auto answer_by = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop(mosq_, 100, 1);
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard guard(mutex_);
        if (closing_ && (!accepted_ || now > closing_deadline_)) break;
        if (!accepted_ && now > answer_by) {
            disconnect();
            cause = "no answer within 10 s";
            return false;
        }
    }
    if (!refusal_.empty()) {
        cause = refusal_;
    } else {
        cause = accepted_ ? "lost: " + cause_of(rc) : cause_of(rc);
    }
    return accepted_;
}

// In words an operator can act on.
std::string BrokerLink::cause_of(int rc) {
    switch (rc) {
    case MOSQ_ERR_ERRNO: return std::strerror(errno);
    case MOSQ_ERR_EAI: return "cannot resolve the host name '" + options_.host + "'";
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE: {
        std::string detail;
        {
            std::lock_guard guard(mutex_);
            detail = last_error_.empty() ? std::string("no detail") : last_error_;
        }
        return "TLS failed (" + detail +
               "): check the CA file " + options_.tls_ca + ", that the broker's certificate names " + options_.host +
               (options_.tls_cert.empty() ? ", and whether the broker wants a client certificate (--mqtt-tls-cert)"
                                          : ", and the client certificate " + options_.tls_cert);
    }
    default: {
        std::string text = mosquitto_strerror(rc);
        if (!text.empty() && text.back() == '.') text.pop_back(); // it goes inside a sentence
        return text;
    }
    }
}

void BrokerLink::on_log(mosquitto *, void *self_ptr, int level, const char *text) {
    if ((level & MOSQ_LOG_ERR) == 0 || text == nullptr) return;
    auto *self = static_cast<BrokerLink *>(self_ptr);
    // A publish on another thread may log too.
    std::lock_guard guard(self->mutex_);
    self->last_error_ = text;
}

int BrokerLink::publish(const std::string &topic, const std::string &payload, int qos, bool retain,
                        const std::string &correlation) {
    mosquitto_property *props = nullptr;
    if (!correlation.empty()) {
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(std::min<std::size_t>(correlation.size(), 65535)));
    }
    int mid = 0;
    std::lock_guard sending(waiting_mutex_);
    const int rc = mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                        qos, retain, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) return -1;
    if (qos > 0) remember(mid, topic); // QoS 0 is never answered
    return mid;
}

void BrokerLink::subscribe(const std::string &topic, int qos) {
    int mid = 0;
    std::lock_guard sending(waiting_mutex_);
    if (mosquitto_subscribe_v5(mosq_, &mid, topic.c_str(), qos, 0, nullptr) == MOSQ_ERR_SUCCESS) {
        remember(mid, topic);
    }
}

// Bounded: the broker answers every message of a connection, and a lost
// connection forgets them; what no answer came for is let go in the end.
void BrokerLink::remember(int mid, const std::string &topic) {
    std::lock_guard guard(waiting_mutex_);
    if (waiting_.size() >= 4096) waiting_.erase(waiting_.begin());
    waiting_[mid] = topic;
}

std::string BrokerLink::recall(int mid) {
    std::lock_guard guard(waiting_mutex_);
    const auto found = waiting_.find(mid);
    if (found == waiting_.end()) return std::string();
    std::string topic = std::move(found->second);
    waiting_.erase(found);
    return topic;
}

void BrokerLink::refused(const char *what, const std::string &topic, int reason) {
    {
        std::lock_guard guard(mutex_);
        if (refusals_logged_.size() >= 1024 || !refusals_logged_.insert(std::string(what) + topic).second) return;
    }
    log_.line(Topic::Refusal, name_ + ": the broker refused to let it " + what + " '" + topic + "': " +
                                  mosquitto_reason_string(reason) + " (check the broker's ACL for this user)");
}

void BrokerLink::on_connect(mosquitto *, void *self_ptr, int rc, int, const mosquitto_property *) {
    auto *self = static_cast<BrokerLink *>(self_ptr);
    if (rc != 0) {
        // MQTT 5 says why in a reason code, 3.1.1 in a CONNACK code.
        const std::string why = self->options_.protocol == 5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
        // Brokers (mosquitto among them) answer a wrong password "not
        // authorised" as often as "bad user name or password".
        const bool credentials = rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == MQTT_RC_NOT_AUTHORIZED ||
                                 (self->options_.protocol != 5 && (rc == 4 || rc == 5));
        self->refusal_ = "the broker refused: " + why +
                         (credentials ? " (check the user and password in --mqtt-credentials, and the broker's "
                                        "password file and ACL for them)"
                                      : "");
        return;
    }
    {
        std::lock_guard guard(self->mutex_);
        self->accepted_ = true;
    }
    self->log_.line(Topic::Service, self->name_ + ": connected");
    self->listener_.connected();
}

void BrokerLink::on_disconnect(mosquitto *, void *self_ptr, int, const mosquitto_property *) {
    // Why it ended is the supervisor's to say, once.
    static_cast<BrokerLink *>(self_ptr)->listener_.disconnected();
}

void BrokerLink::on_publish(mosquitto *, void *self_ptr, int mid, int reason, const mosquitto_property *) {
    auto *self = static_cast<BrokerLink *>(self_ptr);
    const std::string topic = self->recall(mid);
    // MQTT 5 says "not authorised" (0x87) and the like here; 0x10, no
    // matching subscribers, is a success.
    if (reason >= 0x80) {
        ++self->refused_publishes_;
        self->refused("publish on", topic, reason);
    }
    self->listener_.acknowledged(mid);
}

void BrokerLink::on_subscribe(mosquitto *, void *self_ptr, int mid, int count, const int *granted,
                              const mosquitto_property *) {
    auto *self = static_cast<BrokerLink *>(self_ptr);
    const std::string topic = self->recall(mid);
    for (int i = 0; i < count; ++i) {
        // 0x80 under 3.1.1 and 5 alike (5 may say more: 0x87, not authorised).
        if (granted[i] >= 0x80) {
            ++self->refused_subscriptions_;
            self->refused("subscribe to", topic, granted[i]);
        }
    }
}

void BrokerLink::on_message(mosquitto *, void *self_ptr, const mosquitto_message *message,
                            const mosquitto_property *props) {
    auto *self = static_cast<BrokerLink *>(self_ptr);
    // The broker's bytes are anyone's: whatever a handler failed to read is
    // dropped here, never thrown through libmosquitto's thread (that ends
    // the daemon, and a retained message would end every restart too).
    try {
        self->listener_.received(*message, props);
    } catch (const std::exception &error) {
        self->log_.line(Topic::Service, self->name_ + ": dropped a message on '" +
                                            std::string(message->topic ? message->topic : "") + "': " + error.what());
    } catch (...) {
        self->log_.line(Topic::Service, self->name_ + ": dropped a message on '" +
                                            std::string(message->topic ? message->topic : "") + "'");
    }
}

} // namespace kdxd
