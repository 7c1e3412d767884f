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
    int32_t setting; // the library's check (KDX7400_SETTING_*), or 0: any byte
    const char *rule;
    uint8_t (kdx::Module::*get)() const;
    void (kdx::Module::*set)(uint8_t);
};

void set_protect(kdx::Module &m, uint8_t v) { m.set_write_protect(v != 0); }

void byte_setting(const Options &options, const ByteSetting &s,
                  void (*setter)(kdx::Module &, uint8_t) = nullptr) {
    need_values(options, 0, 1, (std::string(s.name) + " [N]").c_str());
    kdx::Module module = open_module(options);
    if (!options.values.empty()) {
        const auto value = static_cast<uint8_t>(
            s.setting != 0 ? parse_setting(options.values[0], module, s.setting, s.name, s.rule)
                           : parse_number(options.values[0], UINT8_MAX, s.name));
        setter != nullptr ? setter(module, value) : (module.*s.set)(value);
    }
    if (shows_state(options, options.values.empty() ? "get" : "set")) {
        const unsigned value = (module.*s.get)();
        emit(options, {{s.key, value}}, std::to_string(value) + "\n");
    }
}

void nickname(const Options &options) {
    need_values(options, 0, 1, "name [NEW]");
    kdx::Module module = open_module(options);
    if (!options.values.empty()) {
        const std::size_t bytes = options.values[0].size();
        check_setting(module, KDX7400_SETTING_NICKNAME_BYTES, bytes,
                      "a nickname holds at most 32 bytes; this one has " + std::to_string(bytes));
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
        byte_setting(options, {"protect", "write_protect", KDX7400_SETTING_WRITE_PROTECT, "0 or 1", &kdx::Module::write_protect, nullptr},
                     set_protect);
    });
    add_value_command(app, options, run, "frame-rate", "frame-rate [N]: read or write the frame-rate factor", [&] {
        byte_setting(options, {"frame-rate", "frame_rate_factor", KDX7400_SETTING_FRAME_RATE, "0 to 255",
                               &kdx::Module::frame_rate_factor,
                               &kdx::Module::set_frame_rate_factor});
    });
    add_value_command(app, options, run, "opcode", "opcode [N]: read or write the opcode register", [&] {
        byte_setting(options, {"opcode", "opcode", 0, "", &kdx::Module::opcode, &kdx::Module::set_opcode});
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
                {"set", "set TIMEOUT: 100 to 1800000 ms, or 0: off"},
                {"clear", "clear the watchdog error"},
                {"off", "turn the watchdog off (timeout 0); other settings stay"}},
               [](const Options &o, const std::string &verb) {
                   need_values(o, verb == "set" ? 1 : 0, verb == "set" ? 1 : 0,
                               verb == "set" ? "watchdog set TIMEOUT" : "watchdog get|clear|off");
                   kdx::Module module = open_module(o);
                   if (verb == "set") {
                       module.set_watchdog(static_cast<uint32_t>(parse_setting(
                           o.values[0], module, KDX7400_SETTING_WATCHDOG, "watchdog timeout", "100 to 1800000 ms, or 0 (off)")));
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
