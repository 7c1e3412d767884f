// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <sstream>

namespace kdxio {

namespace {

void inputs(const Options &options, const std::string &verb) {
    const auto &v = options.values;
    if (verb == "get" || verb == "channel") {
        need_values(options, verb == "get" ? 0 : 1, verb == "get" ? 0 : 1, "di get | di CH");
    } else {
        need_values(options, 0, 1, verb == "filter" ? "di filter [N]" : "di invert|edge [0|1]");
    }
    kdx::Module module = open_module(options);
    const unsigned count = module.counts().di;
    if (verb == "get") {
        print_mask(options, "inputs", module.read_inputs(), count);
    } else if (verb == "channel") {
        const uint8_t channel = parse_channel(v[0], module, KDX7400_INPUTS, "input");
        const unsigned state = module.read_input(channel) ? 1 : 0;
        emit(options, {{"channel", channel}, {"state", state}}, std::to_string(state) + "\n");
    } else {
        const bool invert = verb == "invert";
        if (verb == "filter" && !v.empty()) {
            module.set_input_filter(
                static_cast<uint16_t>(parse_setting(v[0], module, KDX7400_SETTING_FILTER, "input filter", "0 to 65535")));
        } else if (invert && !v.empty()) {
            module.set_input_inverse(parse_setting(v[0], module, KDX7400_SETTING_INPUT_INVERSE, "input inversion",
                                                   "0 or 1") != 0);
        } else if (!v.empty()) {
            module.set_counter_edge(static_cast<uint8_t>(parse_setting(v[0], module, KDX7400_SETTING_COUNTER_EDGE,
                                                                       "counter edge", "0 (rising) or 1 (falling)")));
        }
        if (!shows_state(options, v.empty() ? "get" : "set")) {
            return;
        }
        const unsigned value = verb == "filter" ? module.input_filter()
                               : invert         ? module.input_inverse()
                                                : module.counter_edge();
        // By the names kdxio info and kdx7400d's API give these settings.
        const char *key = verb == "filter" ? "filter" : invert ? "input_inverse" : "edge";
        emit(options, {{key, value}}, std::to_string(value) + "\n");
    }
}

void counters(const Options &options, const std::string &verb) {
    const auto &v = options.values;
    if (verb == "read") {
        need_values(options, 0, 1, "counter read [CH]");
    } else if (verb == "clear") {
        need_values(options, 1, 1, "counter clear MASK");
    } else {
        need_values(options, 1, KDX7400_MAX_CHANNELS, "counter clear-channel CH...");
    }
    kdx::Module module = open_module(options);
    if (verb == "read" && v.size() == 1) {
        const uint8_t channel = parse_channel(v[0], module, KDX7400_INPUTS, "counter");
        const uint32_t value = module.read_counter(channel);
        emit(options, {{"channel", channel}, {"counter", value}}, std::to_string(value) + "\n");
    } else if (verb == "read") {
        const std::vector<uint32_t> values = module.read_counters();
        std::ostringstream text;
        for (std::size_t n = 0; n < values.size(); ++n) {
            text << n << " " << values[n] << "\n";
        }
        emit(options, {{"counters", values}}, text.str());
    } else {
        uint64_t mask = 0;
        if (verb == "clear") {
            mask = parse_mask(v[0], module, KDX7400_INPUTS, "counter");
        } else {
            for (const std::string &text : v) {
                mask |= uint64_t{1} << parse_channel(text, module, KDX7400_INPUTS, "counter");
            }
        }
        module.clear_counters(mask); // one command for all of them
        if (shows_state(options, verb)) {
            emit(options, {{"counters", module.read_counters()}}, "");
        }
    }
}

} // namespace

void add_inputs(CLI::App &app, Options &options, Run &run) {
    auto *di = add_family(app, options, run, "di", "digital inputs (di CH reads one channel)",
                          {{"get", "read the input mask"},
                           {"filter", "filter [N]: read or write the input filter, 0 to 65535"},
                           {"invert", "invert [0|1]: read or write the input inversion"},
                           {"edge", "edge [0|1]: read or write the counter edge (0 rising, 1 falling)"}},
                          inputs);
    di->require_subcommand(0, 1);
    auto channel = std::make_shared<std::string>();
    di->add_option("channel", *channel, "read one input channel");
    di->callback([&options, &run, channel] {
        if (!run) {
            if (channel->empty()) {
                throw CLI::RequiredError("di needs get, filter, invert, edge or a channel");
            }
            options.values = {*channel};
            run = [&options] { inputs(options, "channel"); };
        }
    });
}

void add_counters(CLI::App &app, Options &options, Run &run) {
    add_family(app, options, run, "counter", "input counters",
               {{"read", "read [CH]: read all counters or one"},
                {"clear", "clear MASK: clear the counters in the mask"},
                {"clear-channel", "clear-channel CH...: clear single counters"}},
               counters);
}

} // namespace kdxio
