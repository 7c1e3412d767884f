// SPDX-License-Identifier: MIT
// One connection to an MQTT broker, shared by the front ends that publish:
// the plain MQTT topics and the Sparkplug B edge node each have their own.
// One supervising thread connects, runs the connection and, whatever ended
// it (refused, no answer, TLS, credentials, protocol, dropped), says why
// and tries again after a back-off that doubles from 1 s to 30 s, with
// jitter: it never gives up.
#pragma once

#include "core/log.h"

#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace kdxd {

struct BrokerOptions {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string client_id;
    std::string username, password;
    int protocol = 5; // 5, or 311 for MQTT 3.1.1
    std::string tls_ca, tls_cert, tls_key; // tls_ca empty: no TLS
    int keepalive = 30;
};

// "HOST:PORT" or "[V6]:PORT"; throws std::invalid_argument.
void parse_broker(const std::string &text, BrokerOptions &options);
// The user name and password from a file of two lines; throws
// std::invalid_argument.
void read_credentials(const std::string &path, BrokerOptions &options);

// What happens on the link, on libmosquitto's thread.
class LinkListener {
public:
    virtual void connected() = 0;
    virtual void disconnected() {}
    virtual void acknowledged(int mid) = 0;
    virtual void received(const mosquitto_message &message, const mosquitto_property *properties) = 0;

protected:
    ~LinkListener() = default;
};

class BrokerLink {
public:
    // Throws std::invalid_argument (TLS files) or std::runtime_error.
    BrokerLink(const BrokerOptions &options, LinkListener &listener, Log &log, const std::string &name);
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;
    ~BrokerLink();

    // Before start, or from disconnected(): the next connection's will.
    void will(const std::string &topic, const std::string &payload, int qos, bool retain);
    void start();
    void stop();

    // From any thread. The message's id, or -1 when the client would not
    // take it (no connection).
    int publish(const std::string &topic, const std::string &payload, int qos, bool retain,
                const std::string &correlation = std::string());
    void subscribe(const std::string &topic, int qos);
    void disconnect();

    // Publishes (MQTT 5 PUBACK) and subscriptions (SUBACK) the broker
    // refused, its ACL most often: each topic is logged once, all counted.
    uint64_t refused_publishes() const { return refused_publishes_.load(); }
    uint64_t refused_subscriptions() const { return refused_subscriptions_.load(); }

    // The back-off before the next attempt after `failures` failed ones in
    // a row: 1 s doubling to 30 s, less up to a fifth at random so that
    // many rigs do not come back in step.
    static std::chrono::milliseconds back_off(unsigned failures, double random);

private:
    void supervise();
    // Runs one connection until it ends; true when the broker accepted it.
    bool run_connection(std::string &cause);
    std::string cause_of(int rc);
    static void on_log(mosquitto *, void *self, int level, const char *text);
    static void on_connect(mosquitto *, void *self, int rc, int flags, const mosquitto_property *);
    static void on_disconnect(mosquitto *, void *self, int rc, const mosquitto_property *);
    static void on_publish(mosquitto *, void *self, int mid, int reason, const mosquitto_property *);
    static void on_subscribe(mosquitto *, void *self, int mid, int count, const int *granted,
                             const mosquitto_property *);
    // What was sent under a message ID, until the broker answers it.
    void remember(int mid, const std::string &topic);
    std::string recall(int mid);
    void refused(const char *what, const std::string &topic, int reason);
    static void on_message(mosquitto *, void *self, const mosquitto_message *message, const mosquitto_property *props);

    const BrokerOptions options_;
    LinkListener &listener_;
    Log &log_;
    const std::string name_;
    mosquitto *mosq_ = nullptr;
    bool started_ = false;
    std::thread supervisor_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool closing_ = false;
    std::chrono::steady_clock::time_point closing_deadline_;
    // Written on the supervisor's thread (libmosquitto's callbacks of the
    // connection run there); last_error_ also by a publish's log, under mutex_.
    bool accepted_ = false;
    std::string refusal_, last_error_;
    // Topics of messages awaiting an answer. Held across a send, so that an
    // answer that comes at once finds it; recursive, as a send may call
    // back on the same thread.
    std::recursive_mutex waiting_mutex_;
    std::map<int, std::string> waiting_;
    // Under mutex_: the topics whose refusal was logged (each once).
    std::set<std::string> refusals_logged_;
    std::atomic<uint64_t> refused_publishes_{0}, refused_subscriptions_{0};
};

} // namespace kdxd
