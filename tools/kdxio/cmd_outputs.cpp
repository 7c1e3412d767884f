// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include "../common/module_json.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace kdxio {

namespace {

void outputs(const Options &options, const std::string &verb) {
    const auto &v = options.values;
    if (verb == "get") {
        need_values(options, 0, 0, "do get");
    } else if (verb == "set") {
        need_values(options, 1, 1, "do set MASK");
    } else if (verb == "on" || verb == "off" || verb == "toggle") {
        need_values(options, 1, KDX7400_MAX_CHANNELS, "do on|off|toggle CH...");
    } else if (verb == "power-on" || verb == "invert") {
        need_values(options, 0, 1, verb == "invert" ? "do invert [0|1]" : "do power-on [MASK]");
    } else if (verb == "safety" && v.size() != 0 && v.size() != 2) {
        throw UsageError("usage: kdxio ... do safety [FIRST SECOND]");
    }
    kdx::Module module = open_module(options);
    const unsigned count = module.counts().do_;
    if (verb == "set") {
        module.write_outputs(parse_mask(v[0], module, KDX7400_OUTPUTS, "output"));
    } else if (verb == "on" || verb == "off") {
        std::vector<uint8_t> channels;
        for (const std::string &text : v) {
            channels.push_back(parse_channel(text, module, KDX7400_OUTPUTS, "output"));
        }
        module.switch_outputs(channels, verb == "on"); // one masked write
    } else if (verb == "toggle") {
        uint64_t flip = 0;
        for (const std::string &text : v) {
            flip |= uint64_t{1} << parse_channel(text, module, KDX7400_OUTPUTS, "output");
        }
        module.toggle_outputs(flip);
    } else if (verb == "power-on" && !v.empty()) {
        module.set_power_on(parse_mask(v[0], module, KDX7400_OUTPUTS, "power-on"));
    } else if (verb == "safety" && !v.empty()) {
        module.set_safety({parse_mask(v[0], module, KDX7400_OUTPUTS, "safety"),
                           parse_mask(v[1], module, KDX7400_OUTPUTS, "safety")});
    } else if (verb == "invert" && !v.empty()) {
        module.set_output_inverse(
            parse_setting(v[0], module, KDX7400_SETTING_OUTPUT_INVERSE, "output inversion", "0 or 1") != 0);
    }
    // Every verb with a value writes; without one it reads.
    if (!shows_state(options, v.empty() ? "get" : "set")) {
        return;
    }
    if (verb == "get" || verb == "set" || verb == "on" || verb == "off" || verb == "toggle") {
        print_mask(options, "outputs", module.read_outputs(), count);
    } else if (verb == "power-on") {
        print_mask(options, "power_on", module.power_on(), count);
    } else if (verb == "safety") {
        const auto safety = module.safety();
        emit(options, {{"safety", {{"first", kdxjson::mask(safety.outputs)}, {"second", kdxjson::mask(safety.values)}}}},
             hex_mask(safety.outputs, count) + " " + hex_mask(safety.values, count) + "\n");
    } else if (verb == "invert") {
        const unsigned inverse = module.output_inverse();
        emit(options, {{"output_inverse", inverse}}, std::to_string(inverse) + "\n");
    }
}

} // namespace

void add_outputs(CLI::App &app, Options &options, Run &run) {
    add_family(app, options, run, "do", "digital outputs",
               {{"get", "read the output mask"},
                {"set", "set MASK: write the whole output mask"},
                {"on", "on CH...: switch output channels on (one read, one write)"},
                {"off", "off CH...: switch output channels off (one read, one write)"},
                {"toggle", "toggle CH...: flip output channels (one read, one write)"},
                {"power-on", "power-on [MASK]: read or write the power-on mask"},
                {"safety", "safety [FIRST SECOND]: read or write the two safety masks"},
                {"invert", "invert [0|1]: read or write the output inversion"}},
               outputs);
}

} // namespace kdxio
