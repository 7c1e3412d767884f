// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include "../common/module_json.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <ctime>
#include <iostream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace kdxio {

namespace {

volatile std::sig_atomic_t g_stop = 0;

// ISO 8601 local time with milliseconds and the zone: 2026-12-08T09:14:03.250+01:00
std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32], zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03lld%.3s:%s", date, static_cast<long long>(millis), zone, zone + 3);
    return text;
}

bool node_gone(const std::string &node) {
    for (int i = 0; i < 50; ++i) {
        if (::access(node.c_str(), F_OK) != 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// One report; every line has the same keys.
void report(const Options &options, const char *event, uint64_t inputs, unsigned di,
            const std::vector<uint32_t> &counters, const json &edges, const json &pulses,
            const json &changed, const json &cleared = json::array()) {
    const std::string when = timestamp();
    std::ostringstream text;
    if (std::string(event) == "unplugged") {
        text << when << " module unplugged\n";
    } else {
        text << when << " inputs=" << hex_mask(inputs, di);
        for (const auto &n : changed) {
            text << " c" << n.get<std::size_t>() << "=" << counters[n.get<std::size_t>()];
        }
        text << "\n";
        for (const auto &n : cleared) {
            text << when << " in " << n.get<unsigned>() << " counter cleared\n";
        }
        for (const auto &edge : edges) {
            text << when << " in " << edge["channel"].get<unsigned>() << " "
                 << edge["edge"].get<std::string>() << "\n";
        }
        for (const auto &pulse : pulses) {
            text << when << " in " << pulse["channel"].get<unsigned>() << " "
                 << pulse["count"].get<uint32_t>() << " pulses between polls\n";
        }
    }
    emit(options,
         {{"time", when}, {"event", event}, {"inputs", kdxjson::mask(inputs)}, {"counters", counters},
          {"edges", edges}, {"pulses", pulses}, {"changed_counters", changed}, {"cleared", cleared}},
         text.str());
    std::cout.flush();
}

// Each sample against the previous one (KDX7400_DI_Sample): a level change
// is an edge; a counter that moved more than that is pulses the polls
// could not see, counted all the same by the module.
void monitor(const Options &options) {
    kdx::Module module = open_module(options);
    const std::string node = module.node();
    const unsigned di = module.counts().di;
    std::error_code begun;
    kdx7400_input_state state = module.begin_sampling(begun);
    if (begun) throw kdx::Error(begun, "monitor");
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    unsigned reports = 0;
    while (g_stop == 0 && (options.count == 0 || reports < options.count)) {
        const bool first = state.sampled == 0;
        const std::vector<uint32_t> before(state.counters, state.counters + state.channels);
        kdx7400_input_events events{};
        uint64_t cleared_mask = 0;
        std::error_code code;
        module.sample(state, events, cleared_mask, code);
        if (code) {
            if (node_gone(node)) {
                report(options, "unplugged", state.levels, di, before, json::array(), json::array(),
                       json::array());
                throw Failure("monitor: module unplugged");
            }
            throw kdx::Error(code, "monitor");
        }
        const std::vector<uint32_t> counters(state.counters, state.counters + state.channels);
        if (first) {
            report(options, "state", events.levels, di, counters, json::array(), json::array(), json::array());
            ++reports;
        } else if (events.changed != 0 || counters != before) {
            json edges = json::array(), pulses = json::array(), changed = json::array(), cleared = json::array();
            kdx::for_each_input_event(events, state.channels, kdx::InputEvent{}, [&](const kdx::InputEvent &e) {
                if (e.kind == kdx::InputEvent::Kind::reset) {
                    cleared.push_back(e.channel);
                } else if (e.kind == kdx::InputEvent::Kind::pulses) {
                    pulses.push_back({{"channel", e.channel}, {"count", e.count}});
                } else {
                    edges.push_back({{"channel", e.channel},
                                     {"edge", e.kind == kdx::InputEvent::Kind::rising ? "rising" : "falling"}});
                }
            }, cleared_mask);
            for (unsigned n = 0; n < state.channels; ++n) {
                if (events.pulses[n] != 0 || ((cleared_mask >> n) & 1u) != 0) {
                    changed.push_back(n);
                }
            }
            report(options, "change", events.levels, di, counters, edges, pulses, changed, cleared);
            ++reports;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(options.interval_ms));
    }
}

} // namespace

void add_monitor(CLI::App &app, Options &options, Run &run) {
    auto *sub = app.add_subcommand("monitor", "print a timestamped line whenever inputs or counters change");
    sub->add_option("--interval", options.interval_ms, "poll period in ms (default 100)")
        ->check(CLI::Range(1u, 3600000u));
    sub->add_option("--count", options.count, "stop after this many reports (0: never)");
    sub->callback([&] { run = [&] { monitor(options); }; });
}

} // namespace kdxio
