// SPDX-License-Identifier: MIT
// kdxio: try, script and diagnose KDX-7400 modules from the shell.
#include "kdxio.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstring>
#include <iostream>
#include <map>
#include <set>

namespace {

using namespace kdxio;

const char *kFooter = R"TXT(
A module is named by its USB product ID and board ID, as the listing shows
them: -p 7401 -b 3 (the product ID is always hexadecimal, with or without
0x; the board ID is 0 to 15 or its hex digit, A for 10), or by its node:
-d /dev/sg2. Masks are hex (0x..), binary (0b..) or decimal, one bit per
channel, and are printed in hex as wide as the module's channel count.
Channels and mask bits the module lacks are refused. A command form
without a value reads; with a value it writes.

Exit status: 0 on success; 1 when the library reports a failure (stderr:
"kdxio: <operation>: <result text> (<code>)"); 2 on a usage error.

Without hardware, run it against virtual modules:
  kdx7400-sim --module pid=0x7401,bid=3,di=16,do=16 -- kdxio -p 7401 -b 3 info)TXT";

using Register = void (*)(CLI::App &, Options &, Run &);

// Each command word and the family that registers it: only the family a
// run needs is built, which keeps start-up cheap.
const std::map<std::string, Register> &families() {
    static const std::map<std::string, Register> table = {
        {"list", add_list},         {"info", add_info},         {"do", add_outputs},
        {"di", add_inputs},         {"counter", add_counters},  {"watchdog", add_watchdog},
        {"name", add_settings},     {"protect", add_settings},  {"frame-rate", add_settings},
        {"opcode", add_settings},   {"default", add_settings},  {"sync", add_settings},
        {"reset", add_settings},    {"monitor", add_monitor},   {"raw", add_raw},
        {"inquiry", add_raw},       {"capacity", add_raw},
    };
    return table;
}

// The nth word that is no global option or its value; empty if none.
std::string command_word(int argc, char **argv, int nth = 0) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-p" || arg == "--pid" || arg == "-b" || arg == "--bid" || arg == "-d" || arg == "--node") {
            ++i;
        } else if (!arg.empty() && arg[0] != '-' && nth-- == 0) {
            return arg;
        }
    }
    return {};
}

// The verbs a command takes, "get, set, on" or empty, for an error that
// should name them rather than CLI11's "A subcommand is required".
std::string verbs_of(CLI::App &app, const std::string &word) {
    std::string verbs;
    for (CLI::App *command : app.get_subcommands([&](CLI::App *c) { return c->check_name(word); })) {
        for (const CLI::App *verb : command->get_subcommands([](CLI::App *) { return true; })) {
            verbs += (verbs.empty() ? "" : ", ") + verb->get_name();
        }
    }
    return verbs;
}

void usage_hint() { std::cerr << "usage: kdxio -p PID -b BID COMMAND [ARGS]... (kdxio --help)\n"; }

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"kdxio - control KDX-7400 USB digital-I/O modules", "kdxio"};
    app.require_subcommand(1);
    app.fallthrough(); // global options may follow the command
    Options options;
    app.add_option("-p,--pid", options.pid_text, "USB product ID, hexadecimal (7401 or 0x7401)");
    app.add_option("-b,--bid", options.bid_text, "board ID: 0 to 15, or the hex digit the listing shows");
    app.add_option("-d,--node", options.node, "the module's sg node, /dev/sgN or sgN");
    app.add_flag("--json", options.json, "print one JSON object (JSON lines for monitor)");
    app.add_flag("--yes", options.yes, "confirm default, sync and reset");
    app.add_flag_function("--version", [](std::int64_t) {
        std::cout << "kdxio " << KDXIO_GetLibraryVersion() << "\n";
        throw CLI::Success();
    }, "print the library version");

    Run run;
    const std::string word = command_word(argc, argv);
    const auto chosen = families().find(word);
    if (!word.empty() && chosen == families().end()) {
        std::cerr << "kdxio: unknown command '" << word << "'\n";
        usage_hint();
        return kExitUsage;
    }
    if (chosen != families().end()) {
        options.verb = command_word(argc, argv, 1);
        chosen->second(app, options, run);
    } else {
        std::set<Register> added; // several words share one family
        for (const auto &[name, add] : families()) {
            if (added.insert(add).second) {
                add(app, options, run);
            }
        }
    }
    app.footer(kFooter); // after the subcommands, so it shows once

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::Success &) {
        return 0;
    } catch (const CLI::ParseError &e) {
        const std::string verbs = verbs_of(app, word);
        if (!options.verb.empty() && options.verb[0] != '-' && !verbs.empty()) {
            std::cerr << "kdxio: '" << word << "' has no verb '" << options.verb << "'; it takes " << verbs << "\n";
        } else if (!verbs.empty()) {
            std::cerr << "kdxio: '" << word << "' needs one of " << verbs << "\n";
        } else {
            std::cerr << "kdxio: " << e.what() << "\n";
        }
        usage_hint();
        return kExitUsage;
    }
    try {
        run();
        std::cout.flush();
        return 0;
    } catch (const UsageError &e) {
        std::cerr << "kdxio: " << e.what() << "\n";
        usage_hint();
        return kExitUsage;
    } catch (const Failure &e) {
        std::cout.flush();
        std::cerr << "kdxio: " << e.what() << "\n";
        return kExitFailure;
    } catch (const kdx::Error &e) {
        std::cout.flush();
        const int value = e.code().value();
        std::cerr << "kdxio: " << e.what() << " (" << (value >= 100 ? 100 - value : value) << ")\n";
        return kExitFailure;
    }
}
