// SPDX-License-Identifier: MIT
#include "core/events.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>

namespace kdxd {

const char *watch_name(Watch watch) {
    switch (watch) {
    case Watch::watching: return "watching";
    case Watch::paused: return "paused";
    case Watch::stopped: break;
    }
    return "stopped";
}

std::string Client::text() const {
    std::string out = origin_name(front);
    if (!address.empty()) out += " " + address;
    if (!identity.empty()) out += " (" + identity + ")";
    return out;
}

const char *origin_name(Origin origin) {
    switch (origin) {
    case Origin::http: return "http";
    case Origin::modbus: return "modbus";
    case Origin::mqtt: return "mqtt";
    case Origin::sparkplug: return "sparkplug";
    case Origin::another_program: return "another program";
    case Origin::none: break;
    }
    return "daemon";
}

EventHub::EventHub() {
    std::random_device random;
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
    boot_ = text;
}

void EventHub::publish(ModuleEvent &event) {
    std::lock_guard guard(mutex_);
    Ring &ring = rings_[event.unit];
    event.seq = ++ring.seq;
    event.global = ++global_;
    if (ring.kept.size() == kRing) {
        ring.dropped_global = ring.kept.front().global;
        ring.kept.pop_front();
    }
    ring.kept.push_back(event);
    for (const auto &[sink, unit] : sinks_) {
        if (unit == kAllUnits || unit == event.unit) sink->deliver(event);
    }
}

EventHub::Replay EventHub::replay(uint8_t unit, uint64_t after) const {
    Replay replay;
    if (unit != kAllUnits) {
        const auto found = rings_.find(unit);
        if (found == rings_.end()) return replay;
        const Ring &ring = found->second;
        replay.last = ring.seq;
        for (const ModuleEvent &event : ring.kept) {
            if (event.seq > after) replay.events.push_back(event);
        }
        replay.complete = ring_holds_after(ring, after);
        return replay;
    }
    replay.last = global_;
    for (const auto &[number, ring] : rings_) {
        for (const ModuleEvent &event : ring.kept) {
            if (event.global > after) replay.events.push_back(event);
        }
        if (ring.dropped_global > after) replay.complete = false;
    }
    std::sort(replay.events.begin(), replay.events.end(),
              [](const ModuleEvent &a, const ModuleEvent &b) { return a.global < b.global; });
    return replay;
}

EventHub::LogKind EventHub::log_kind(const ModuleEvent &event) {
    switch (event.kind) {
    case ModuleEvent::Kind::input:
        if (event.input.kind == kdx::InputEvent::Kind::pulses) return LogKind::pulses;
        return event.input.kind == kdx::InputEvent::Kind::reset ? LogKind::write : LogKind::edge;
    case ModuleEvent::Kind::outputs:
    case ModuleEvent::Kind::settings: return LogKind::write;
    default: return LogKind::module;
    }
}

std::vector<ModuleEvent> EventHub::recent(std::size_t per_kind) const {
    std::lock_guard guard(mutex_);
    // Newest first over every ring, taking each kind until it has enough.
    std::vector<const ModuleEvent *> all;
    for (const auto &[number, ring] : rings_) {
        for (const ModuleEvent &event : ring.kept) all.push_back(&event);
    }
    std::sort(all.begin(), all.end(), [](const ModuleEvent *a, const ModuleEvent *b) { return a->global > b->global; });
    std::array<std::size_t, 4> taken{};
    std::vector<ModuleEvent> out;
    for (const ModuleEvent *event : all) {
        std::size_t &count = taken[static_cast<std::size_t>(log_kind(*event))];
        if (count < per_kind) {
            ++count;
            out.push_back(*event);
        }
    }
    std::reverse(out.begin(), out.end());
    return out;
}

bool EventHub::ring_holds_after(const Ring &ring, uint64_t after) {
    const uint64_t first_kept = ring.kept.empty() ? ring.seq + 1 : ring.kept.front().seq;
    return after >= ring.seq || after + 1 >= first_kept;
}

bool EventHub::holds_after(uint8_t unit, uint64_t after) const {
    std::lock_guard guard(mutex_);
    if (unit != kAllUnits) {
        const auto found = rings_.find(unit);
        if (found == rings_.end()) return true;
        return ring_holds_after(found->second, after);
    }
    return std::none_of(rings_.begin(), rings_.end(),
                        [after](const auto &entry) { return entry.second.dropped_global > after; });
}

EventHub::Replay EventHub::subscribe(EventSink &sink, uint8_t unit, uint64_t after) {
    std::lock_guard guard(mutex_);
    Replay missed = replay(unit, after);
    for (const ModuleEvent &event : missed.events) sink.deliver(event);
    missed.events.clear();
    sinks_.emplace_back(&sink, unit);
    return missed;
}

void EventHub::unsubscribe(EventSink &sink) {
    std::lock_guard guard(mutex_);
    std::erase_if(sinks_, [&](const auto &entry) { return entry.first == &sink; });
}

bool EventHub::wanted(uint8_t unit) const {
    std::lock_guard guard(mutex_);
    return std::any_of(sinks_.begin(), sinks_.end(),
                       [&](const auto &entry) { return entry.second == kAllUnits || entry.second == unit; });
}

uint64_t EventHub::last(uint8_t unit) const {
    std::lock_guard guard(mutex_);
    if (unit == kAllUnits) return global_;
    const auto found = rings_.find(unit);
    return found == rings_.end() ? 0 : found->second.seq;
}

} // namespace kdxd
