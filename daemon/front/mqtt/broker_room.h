// SPDX-License-Identifier: MIT
// What the front ends that publish to a broker (MQTT, Sparkplug B) share:
// a sink of every unit's events, a link, one thread that publishes, and a
// last word on a clean stop.
#pragma once

#include "transport/broker_link.h"
#include "core/worker.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kdxd {

// The publisher waits on it for work; the link's callbacks and the
// workers' answers wake it. Jobs at workers may hold it past the room.
struct LinkState {
    std::mutex mutex;
    std::condition_variable wake;
    bool work = false, stopping = false, connected = false;
    int farewell_mid = -1; // the last word's message, once published
    bool farewell_sent = false;

    // Under the lock: the message the broker acknowledged.
    void acknowledged(int mid) {
        if (mid == farewell_mid) farewell_sent = true;
        work = true;
    }
};

class BrokerRoom {
public:
    BrokerRoom(Units &units, EventSink &sink, BrokerLink &link, LinkState &state)
        : units_(units), sink_(sink), link_(link), state_(state) {}

    // Every unit's events from now on go to the sink; the link connects
    // and the publisher runs.
    void start(std::function<void()> publisher);
    // The events stop, the publisher ends; when connected, the last word
    // goes out (QoS 1) and is waited for at most 2 s; then the link closes.
    void stop(const std::string &topic, const std::function<std::string()> &payload, bool retain);

private:
    Units &units_;
    EventSink &sink_;
    BrokerLink &link_;
    LinkState &state_;
    std::thread publisher_;
    bool started_ = false;
};

} // namespace kdxd
