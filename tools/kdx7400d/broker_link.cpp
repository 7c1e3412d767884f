// SPDX-License-Identifier: MIT
#include "broker_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
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
    mosquitto_message_v5_callback_set(mosq_, on_message);
    mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
    if (!options_.username.empty()) {
        mosquitto_username_pw_set(mosq_, options_.username.c_str(),
                                  options_.password.empty() ? nullptr : options_.password.c_str());
    }
    if (!options_.tls_ca.empty()) {
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
    // A broker that is not there yet is tried again, with back-off, by the
    // client's loop.
    mosquitto_connect_async(mosq_, options_.host.c_str(), options_.port, options_.keepalive);
    const int rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(name_ + ": " + mosquitto_strerror(rc));
    started_ = true;
}

void BrokerLink::disconnect() { mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr); }

void BrokerLink::stop() {
    if (!started_) return;
    started_ = false;
    disconnect();
    mosquitto_loop_stop(mosq_, false);
}

int BrokerLink::publish(const std::string &topic, const std::string &payload, int qos, bool retain,
                        const std::string &correlation) {
    mosquitto_property *props = nullptr;
    if (!correlation.empty()) {
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(std::min<std::size_t>(correlation.size(), 65535)));
    }
    int mid = 0;
    const int rc = mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                        qos, retain, props);
    mosquitto_property_free_all(&props);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

void BrokerLink::subscribe(const std::string &topic, int qos) {
    mosquitto_subscribe_v5(mosq_, nullptr, topic.c_str(), qos, 0, nullptr);
}

void BrokerLink::on_connect(mosquitto *, void *self_ptr, int rc, int, const mosquitto_property *) {
    auto *self = static_cast<BrokerLink *>(self_ptr);
    if (rc != 0) {
        self->log_.line(Topic::Service, self->name_ + ": the broker refused: " + mosquitto_connack_string(rc));
        return;
    }
    self->log_.line(Topic::Service, self->name_ + ": connected");
    self->listener_.connected();
}

void BrokerLink::on_disconnect(mosquitto *, void *self_ptr, int rc, const mosquitto_property *) {
    auto *self = static_cast<BrokerLink *>(self_ptr);
    if (rc != 0) self->log_.line(Topic::Service, self->name_ + ": connection lost: " + mosquitto_strerror(rc));
    self->listener_.disconnected();
}

void BrokerLink::on_publish(mosquitto *, void *self_ptr, int mid, int, const mosquitto_property *) {
    static_cast<BrokerLink *>(self_ptr)->listener_.acknowledged(mid);
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
