// SPDX-License-Identifier: MIT
// The daemon's events, sequenced once for every front end: each gets a
// number per unit and one across units, and a bounded ring per unit keeps
// the latest, so that a reader that reconnects resumes where it left off
// or is told exactly that it cannot.
#pragma once

#include "kdx7400.hpp"
#include "core/service.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kdxd {

// What a worker saw at its module: an input event (a level change, or
// pulses counted between two samples), the outputs changing (through the
// daemon or another program), or the module coming or going.
// Who changed the outputs: a front end's client, or a program beside the
// daemon (seen at the next sample).
enum class Origin : uint8_t { none, http, modbus, mqtt, sparkplug, another_program };
const char *origin_name(Origin origin);

// A client as its front end knows it: the peer's address, and what it
// proved (the HTTP token, an address allowed to write without one, a
// certificate's subject, an MQTT request's reply topic).
struct Client {
    Origin front = Origin::none;
    std::string address;  // "192.0.2.7:50312"; empty when not known
    std::string identity; // empty when it proved nothing beyond its address
    // "http 192.0.2.7:50312 (token)"
    std::string text() const;
};

// Whether a worker samples its module now: watching, paused (an armed
// watchdog no client fed lately), or stopped (nobody listens, the module
// is away or does not answer, or sampling is off).
enum class Watch : uint8_t { watching, paused, stopped };
const char *watch_name(Watch watch);

struct ModuleEvent {
    enum class Kind { input, plugged, unplugged, outputs, settings, watch, responding };
    uint8_t unit = 0;
    Kind kind = Kind::input;
    Origin by = Origin::none; // for outputs and settings
    std::shared_ptr<const Client> client; // for those, when a client of ours wrote
    kdx::InputEvent input; // for input; its times also for the others
    uint64_t outputs = 0;  // for outputs: their values now
    std::shared_ptr<const service::ModuleSettings> settings; // for settings: all of them now
    Watch watch = Watch::stopped;   // for watch: the watch now
    uint32_t watchdog_ms = 0;       // for watch: the watchdog's time-out as known (0: off)
    bool responding = false;        // for responding: whether it answers now
    const char *why = "";           // for watch and responding: a constant text
    uint64_t seq = 0;      // this unit's events, from 1
    uint64_t global = 0;   // every unit's events, from 1
};

// Takes events as they are published: must not block, and must not
// subscribe or unsubscribe from inside deliver().
class EventSink {
public:
    virtual void deliver(const ModuleEvent &event) = 0;

protected:
    ~EventSink() = default;
};

class EventHub {
public:
    static constexpr std::size_t kRing = 4096;
    static constexpr uint8_t kAllUnits = 0;

    EventHub();
    // This run of the daemon: a reader's position from another run is lost.
    const std::string &boot() const { return boot_; }

    // Numbers the event, keeps it and hands it to the sinks of its unit and
    // of all units, in that order of numbers for every sink.
    void publish(ModuleEvent &event);

    // What a reader missed: the events after its position (per unit, or
    // across units for kAllUnits), and whether the ring still held them all.
    struct Replay {
        std::vector<ModuleEvent> events;
        bool complete = true;
        uint64_t last = 0; // the position now: the last number published
    };
    // Subscribes the sink and, in the same step and in order before any new
    // one, delivers it the events after `after` that the ring holds; the
    // answer says whether that was all it missed (its events are empty).
    Replay subscribe(EventSink &sink, uint8_t unit, uint64_t after);
    void unsubscribe(EventSink &sink);
    // Whether anyone listens to this unit's events.
    bool wanted(uint8_t unit) const;
    uint64_t last(uint8_t unit) const;
    // Whether the ring still holds every event after `after`.
    bool holds_after(uint8_t unit, uint64_t after) const;

    // A log's kinds of event, so that a flood of one pushes out no other.
    enum class LogKind : uint8_t { edge, pulses, write, module };
    static LogKind log_kind(const ModuleEvent &event);
    // The latest `per_kind` events of each kind the rings keep, across
    // units, in the order they happened.
    std::vector<ModuleEvent> recent(std::size_t per_kind) const;

private:
    Replay replay(uint8_t unit, uint64_t after) const;
    struct Ring;
    static bool ring_holds_after(const Ring &ring, uint64_t after);

    struct Ring {
        std::deque<ModuleEvent> kept;
        uint64_t seq = 0;            // the last number given
        uint64_t dropped_global = 0; // the newest global number no longer kept
    };
    std::string boot_;
    mutable std::mutex mutex_;
    std::map<uint8_t, Ring> rings_;
    uint64_t global_ = 0;
    std::vector<std::pair<EventSink *, uint8_t>> sinks_;
};

} // namespace kdxd
