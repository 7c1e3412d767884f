// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include "../common/module_json.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iostream>

namespace kdxio {

void emit(const Options &options, const json &object, const std::string &text) {
    if (options.json) {
        std::cout << kdxjson::text(object) << "\n";
    } else {
        std::cout << text;
    }
}

bool shows_state(const Options &options, const std::string &verb) {
    return options.json || verb == "get" || verb == "read" || verb == "channel";
}

void print_mask(const Options &options, const char *key, uint64_t value, unsigned channels) {
    emit(options, {{key, kdxjson::mask(value)}}, hex_mask(value, channels) + "\n");
}

void need_values(const Options &options, std::size_t least, std::size_t most, const char *usage) {
    if (options.values.size() < least || options.values.size() > most) {
        throw UsageError(std::string("usage: kdxio ... ") + usage);
    }
}

CLI::App *add_family(CLI::App &app, Options &options, Run &run, const char *name,
                     const char *description,
                     std::vector<std::pair<const char *, const char *>> verbs, Handler handler) {
    auto *command = app.add_subcommand(name, description);
    command->require_subcommand(1);
    // Only the verb the command line names, when it names one: each costs
    // more to build than the whole run of a simple command.
    const bool named = std::any_of(verbs.begin(), verbs.end(), [&](const auto &v) { return options.verb == v.first; });
    for (const auto &[verb, help] : verbs) {
        if (named && options.verb != verb) {
            continue;
        }
        auto *sub = command->add_subcommand(verb, help);
        sub->add_option("values", options.values, "arguments");
        sub->callback([&options, &run, handler, verb = std::string(verb)] {
            run = [&options, handler, verb] { handler(options, verb); };
        });
    }
    return command;
}

} // namespace kdxio
