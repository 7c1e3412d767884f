// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <unistd.h>

namespace kdxio {

namespace {

// A one-byte setting: read without a value, write with one.
struct ByteSetting {
    const char *name;
    const char *key; // in --json, as kdxio info names the field
    uint64_t limit;
    uint8_t (kdx::Module::*get)() const;
    void (kdx::Module::*set)(uint8_t);
};

void set_protect(kdx::Module &m, uint8_t v) { m.set_write_protect(v != 0); }

void byte_setting(const Options &options, const ByteSetting &s,
                  void (*setter)(kdx::Module &, uint8_t) = nullptr) {
    need_values(options, 0, 1, (std::string(s.name) + " [N]").c_str());
    kdx::Module module = open_module(options);
    if (!options.values.empty()) {
        const auto value = static_cast<uint8_t>(parse_number(options.values[0], s.limit, s.name));
        setter != nullptr ? setter(module, value) : (module.*s.set)(value);
    }
    if (shows_state(options, options.values.empty() ? "get" : "set")) {
        const unsigned value = (module.*s.get)();
        emit(options, {{s.key, value}}, std::to_string(value) + "\n");
    }
}

void nickname(const Options &options) {
    need_values(options, 0, 1, "name [NEW]");
    if (!options.values.empty() && options.values[0].size() > 32) {
        throw UsageError("a nickname holds at most 32 bytes; this one has " +
                         std::to_string(options.values[0].size()));
    }
    kdx::Module module = open_module(options);
    if (!options.values.empty()) {
        module.set_nickname(options.values[0]);
    }
    if (shows_state(options, options.values.empty() ? "get" : "set")) {
        const std::string name = module.nickname();
        emit(options, {{"nickname", name}}, name + "\n");
    }
}

void command(const Options &options, const char *name, void (kdx::Module::*act)()) {
    if (::isatty(STDIN_FILENO) && !options.yes) {
        throw UsageError(std::string(name) + " changes the module: add --yes to confirm");
    }
    kdx::Module module = open_module(options);
    (module.*act)();
    if (shows_state(options, name)) {
        emit(options, {{"command", name}, {"done", true}}, "");
    }
}

void add_value_command(CLI::App &app, Options &options, Run &run, const char *name,
                       const char *description, std::function<void()> body) {
    auto *sub = app.add_subcommand(name, description);
    sub->add_option("value", options.values, "new value (omit to read)");
    sub->callback([&run, body] { run = body; });
}

} // namespace

void add_settings(CLI::App &app, Options &options, Run &run) {
    add_value_command(app, options, run, "name", "name [NEW]: read or write the nickname (32 bytes)",
                      [&] { nickname(options); });
    add_value_command(app, options, run, "protect", "protect [0|1]: read or write write protection", [&] {
        byte_setting(options, {"protect", "write_protect", 1, &kdx::Module::write_protect, nullptr}, set_protect);
    });
    add_value_command(app, options, run, "frame-rate", "frame-rate [N]: read or write the frame-rate factor", [&] {
        byte_setting(options, {"frame-rate", "frame_rate_factor", 255, &kdx::Module::frame_rate_factor,
                               &kdx::Module::set_frame_rate_factor});
    });
    add_value_command(app, options, run, "opcode", "opcode [N]: read or write the opcode register", [&] {
        byte_setting(options, {"opcode", "opcode", 255, &kdx::Module::opcode, &kdx::Module::set_opcode});
    });
    const std::pair<const char *, void (kdx::Module::*)()> commands[] = {
        {"default", &kdx::Module::load_defaults}, {"sync", &kdx::Module::sync}, {"reset", &kdx::Module::reset}};
    const char *help[] = {"restore the module's defaults (asks for --yes at a terminal)",
                          "synchronise the module (asks for --yes at a terminal)",
                          "reset the module (asks for --yes at a terminal)"};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto [name, act] = commands[i];
        app.add_subcommand(name, help[i])->callback([&options, &run, name, act] {
            run = [&options, name, act] { command(options, name, act); };
        });
    }
}

void add_watchdog(CLI::App &app, Options &options, Run &run) {
    add_family(app, options, run, "watchdog", "software watchdog",
               {{"get", "read the timeout in ms"},
                {"set", "set TIMEOUT: 100 to 1800000 ms"},
                {"clear", "clear the watchdog error"},
                {"off", "turn the watchdog off (timeout 0); other settings stay"}},
               [](const Options &o, const std::string &verb) {
                   need_values(o, verb == "set" ? 1 : 0, verb == "set" ? 1 : 0,
                               verb == "set" ? "watchdog set TIMEOUT" : "watchdog get|clear|off");
                   uint32_t timeout = 0;
                   if (verb == "set") {
                       const uint64_t value = parse_number(o.values[0], UINT32_MAX, "watchdog timeout");
                       if (value < KDX7400_WDT_TIMEOUT_MIN || value > KDX7400_WDT_TIMEOUT_MAX) {
                           throw UsageError("watchdog timeout must be 100 to 1800000 ms, not " + o.values[0]);
                       }
                       timeout = static_cast<uint32_t>(value);
                   }
                   kdx::Module module = open_module(o);
                   if (verb == "set") {
                       module.set_watchdog_timeout(timeout);
                   } else if (verb == "clear") {
                       module.clear_watchdog_error();
                   } else if (verb == "off") {
                       module.disable_watchdog();
                   }
                   if (shows_state(o, verb)) {
                       const uint32_t value = module.watchdog_timeout();
                       emit(o, {{"watchdog_timeout", value}}, std::to_string(value) + "\n");
                   }
               });
}

} // namespace kdxio
