// SPDX-License-Identifier: MIT
#include "front/mqtt/broker_room.h"

namespace kdxd {

void BrokerRoom::start(std::function<void()> publisher) {
    units_.subscribe(sink_, EventHub::kAllUnits, units_.events().last(EventHub::kAllUnits));
    link_.start();
    publisher_ = std::thread(std::move(publisher));
    started_ = true;
}

void BrokerRoom::stop(const std::string &topic, const std::function<std::string()> &payload, bool retain) {
    if (!started_) return;
    started_ = false;
    units_.events().unsubscribe(sink_);
    {
        std::lock_guard guard(state_.mutex);
        state_.stopping = true;
    }
    state_.wake.notify_all();
    publisher_.join();
    // A clean stop says it itself; the will is for an unclean one.
    std::unique_lock lock(state_.mutex);
    if (state_.connected) {
        state_.farewell_mid = link_.publish(topic, payload(), 1, retain);
        if (state_.farewell_mid >= 0) {
            state_.wake.wait_for(lock, std::chrono::seconds(2), [&] { return state_.farewell_sent; });
        }
    }
    lock.unlock();
    link_.stop();
}

} // namespace kdxd
