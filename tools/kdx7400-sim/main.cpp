// SPDX-License-Identifier: MIT
// kdx7400-sim: run any program against virtual KDX-7400 modules, and
// drive a running testbed from a second shell.
#include "testbed.h"

#include "../common/numbers.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <thread>
#include <iostream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Where the preload library sits relative to this program: beside it in
// the build tree, in the library directory once installed.
std::string preload_library() {
    if (const char *chosen = std::getenv("KDX7400_SIM_LIBRARY")) {
        return chosen;
    }
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
    for (const fs::path &candidate :
         {self / "libkdx7400-sim.so", self / KDX7400_SIM_RELATIVE_LIBDIR / "libkdx7400-sim.so"}) {
        if (fs::exists(candidate)) {
            return fs::canonical(candidate).string();
        }
    }
    throw std::runtime_error("cannot find libkdx7400-sim.so (set KDX7400_SIM_LIBRARY)");
}

// Hex (0x), binary (0b) or decimal, the whole text.
uint64_t parse_number(const std::string &text) { return kdxtext::parse_number(text, UINT64_MAX, "number"); }

// Pulses of width_us high and width_us low, counted into the module as the
// time they take passes (a millisecond's worth at a time), or all at once.
void pulse_train(const kdxsim::Testbed &bed, const std::string &node, unsigned channel, uint32_t count,
                 uint64_t width_us) {
    if (width_us == 0) {
        bed.pulse(node, channel, count);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    uint32_t done = 0;
    while (done < count) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
        const uint64_t due = std::min<uint64_t>(count, static_cast<uint64_t>(elapsed.count()) / (2 * width_us));
        if (due > done) {
            bed.pulse(node, channel, static_cast<uint32_t>(due - done));
            done = static_cast<uint32_t>(due);
        }
    }
}

std::string describe(const kdxsim::ModuleState &state) {
    const auto &id = state.identity;
    char text[160];
    std::snprintf(text, sizeof text, "pid=0x%04x bid=%u di=%u do=%u", id.product_id,
                  unsigned{id.board_id}, unsigned{id.di_total}, unsigned{id.do_total});
    return text;
}

void add_modules(kdxsim::Testbed &bed, const std::vector<std::string> &descriptions) {
    for (const std::string &text : descriptions) {
        const std::string node = bed.add_module(kdxsim::parse_virtual_module(text));
        std::cerr << "kdx7400-sim: " << node << " " << describe(bed.state(node)) << "\n";
    }
}

void set_environment(const kdxsim::Testbed &bed) {
    // Appended: a sanitizer runtime already preloaded must stay first.
    std::string preload = preload_library();
    if (const char *existing = std::getenv("LD_PRELOAD"); existing && *existing) {
        const std::string current = existing;
        preload = current.find("libkdx7400-sim.so") != std::string::npos ? current
                                                                         : current + ":" + preload;
    }
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    bed.make_current();
}

volatile sig_atomic_t g_child = 0;

// Ctrl-C, a service stop or a closed terminal end the program under test
// first; the sim then returns and removes its temporary testbed.
extern "C" void forward_signal(int signal) {
    if (g_child > 0) {
        ::kill(g_child, signal);
    }
}

int run_program(const std::vector<std::string> &program) {
    std::vector<char *> argv;
    for (const std::string &arg : program) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    struct sigaction forward {};
    forward.sa_handler = forward_signal;
    sigemptyset(&forward.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &forward, nullptr);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::execvp(argv[0], argv.data());
        std::cerr << "kdx7400-sim: cannot run " << program[0] << ": " << std::strerror(errno) << "\n";
        ::_exit(127);
    }
    g_child = child;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

std::string show(const kdxsim::Testbed &bed, const std::string &node) {
    const kdxsim::ModuleState s = bed.state(node);
    const auto &r = s.registers;
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s %s%s\n  outputs=0x%llx power-on=0x%llx safety=0x%llx/0x%llx invert=%u\n"
                  "  inputs=0x%llx filter=%u invert=%u edge=%u\n"
                  "  watchdog timeout=%u %s  nickname=\"%.32s\" protect=%u frame-rate=%u "
                  "opcode=%u\n",
                  node.c_str(), describe(s).c_str(), s.unplugged ? " (unplugged)" : "",
                  static_cast<unsigned long long>(r.do_value),
                  static_cast<unsigned long long>(r.do_power_on),
                  static_cast<unsigned long long>(r.safety_first),
                  static_cast<unsigned long long>(r.safety_second), unsigned{r.do_inverse},
                  static_cast<unsigned long long>(r.di_physical), unsigned{r.di_filter},
                  unsigned{r.di_inverse}, unsigned{r.di_cnt_edge}, r.wdt_timeout,
                  r.wdt_expired ? "EXPIRED (error LED on)" : "ok", r.nickname,
                  unsigned{r.write_protect}, unsigned{r.frame_rate_factor}, unsigned{r.opcode});
    std::string out = text;
    out += "  counters:";
    for (unsigned n = 0; n < std::min<unsigned>(s.identity.di_total, 64); ++n) {
        out += " " + std::to_string(r.counters[n]);
    }
    return out + "\n";
}

nlohmann::json show_json(const kdxsim::Testbed &bed, const std::string &node) {
    const kdxsim::ModuleState s = bed.state(node);
    const auto &r = s.registers;
    const auto &id = s.identity;
    return {{"node", node},
            {"product_id", id.product_id},
            {"board_id", id.board_id},
            {"di", id.di_total},
            {"do", id.do_total},
            {"unplugged", s.unplugged != 0},
            {"outputs", r.do_value},
            {"power_on", r.do_power_on},
            {"safety_first", r.safety_first},
            {"safety_second", r.safety_second},
            {"output_inverse", r.do_inverse},
            {"inputs", r.di_physical},
            {"filter", r.di_filter},
            {"input_inverse", r.di_inverse},
            {"edge", r.di_cnt_edge},
            {"counters", std::vector<uint32_t>(r.counters, r.counters + std::min<unsigned>(id.di_total, 64))},
            {"nickname", std::string(r.nickname, strnlen(r.nickname, sizeof r.nickname))},
            {"write_protect", r.write_protect},
            {"frame_rate_factor", r.frame_rate_factor},
            {"opcode", r.opcode},
            {"watchdog_timeout", r.wdt_timeout},
            {"watchdog_expired", r.wdt_expired != 0},
            {"load_defaults", s.seen.load_default},
            {"syncs", s.seen.sync},
            {"resets", s.seen.reset}};
}

// Faults a second shell or a script can queue, by name.
kdxsim::Fault named_fault(const std::string &name) {
    kdxsim::Fault fault;
    if (name == "eio" || name == "enodev") {
        fault.kind = kdxsim::FaultKind::IoctlError;
        fault.error = name == "eio" ? EIO : ENODEV;
    } else if (name == "no-magic") {
        fault.kind = kdxsim::FaultKind::NoMagic;
    } else if (name == "slow") {
        // Replaces no byte: with --delay, a module that answers, late.
        fault.kind = kdxsim::FaultKind::ChosenBytes;
        fault.length = 0;
    } else if (name == "hang") {
        fault.kind = kdxsim::FaultKind::Hang;
    } else if (name == "vanish") {
        fault.kind = kdxsim::FaultKind::Vanish;
    } else if (name == "disconnect") {
        fault.kind = kdxsim::FaultKind::Disconnect; // in-process: as vanish
    } else if (name == "short" || name == "short-phase") {
        // Only the 16-byte header arrives, with status GOOD, or with the
        // DID_ERROR of a phase error that the host reset the device after.
        fault.kind = kdxsim::FaultKind::ShortData;
        fault.length = 16;
        fault.host_status = name == "short" ? 0 : 0x07;
    } else {
        throw std::invalid_argument("unknown fault '" + name +
                                    "' (eio, enodev, no-magic, slow, hang, vanish, disconnect, short, short-phase)");
    }
    return fault;
}

const char *kFooter = R"TXT(
Run a program against virtual modules (a temporary testbed unless --testbed):
  kdx7400-sim --module pid=0x7401,bid=3,di=16,do=16 [--module ...] -- PROGRAM ARGS
A module description takes pid (hexadecimal, with or without 0x, as USB tools
show it), bid, di, do, ai, ao, pi, po, fw, date, product, sg.
SIGINT, SIGTERM and SIGHUP go to the program; the temporary testbed is
removed when it ends.
The testbed directory is printed on stderr; from a second shell:
  kdx7400-sim inputs DIR sg0 0x0005     drive the inputs (counters count edges)
  kdx7400-sim show DIR                  print every module's state
  kdx7400-sim advance DIR MS            move a virtual clock (--virtual-clock)
  kdx7400-sim unplug DIR sg0            pull a module out
  kdx7400-sim plug DIR sg0              plug it back in (powered up afresh)
  kdx7400-sim fault DIR sg0 eio         fail the module's next command
  eval "$(kdx7400-sim env DIR)"         make this shell's programs use DIR)TXT";

} // namespace

int main(int argc, char **argv) {
    // Everything after "--" is the program to run.
    std::vector<std::string> program;
    int own = argc;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            own = i;
            program.assign(argv + i + 1, argv + argc);
            break;
        }
    }

    CLI::App app{"kdx7400-sim - virtual KDX-7400 modules for development without hardware",
                 "kdx7400-sim"};
    app.footer(kFooter);
    std::vector<std::string> modules;
    std::string testbed_dir;
    bool virtual_clock = false;
    app.add_option("--module", modules, "add a virtual module (repeatable)");
    app.add_option("--testbed", testbed_dir, "testbed directory to create or reuse (kept)");
    app.add_flag("--virtual-clock", virtual_clock, "time moves only with 'advance'");
    uint64_t log_limit = 0;
    app.add_option("--log-limit", log_limit, "command log entries kept (default 10000)");

    std::string dir, node, value;
    auto *create = app.add_subcommand("create", "create a testbed directory with modules");
    create->add_option("dir", dir)->required();
    create->add_option("--module", modules, "add a virtual module (repeatable)");
    create->add_flag("--virtual-clock", virtual_clock, "time moves only with 'advance'");
    create->add_option("--log-limit", log_limit, "command log entries kept (default 10000)");
    auto *inputs = app.add_subcommand("inputs", "set the input levels of a module");
    inputs->add_option("dir", dir)->required();
    inputs->add_option("node", node)->required();
    inputs->add_option("levels", value)->required();
    auto *pulse = app.add_subcommand("pulse", "a pulse train on one input, faster than any poll");
    pulse->add_option("dir", dir)->required();
    pulse->add_option("node", node)->required();
    unsigned channel = 0;
    std::string count_text, width_text;
    pulse->add_option("channel", channel, "input channel")->required();
    pulse->add_option("count", count_text, "pulses")->required();
    pulse->add_option("width_us", width_text, "microseconds high and as long low (default: all at once)");
    auto *advance = app.add_subcommand("advance", "move the virtual clock");
    advance->add_option("dir", dir)->required();
    advance->add_option("ms", value)->required();
    auto *show_cmd = app.add_subcommand("show", "print the modules' state");
    show_cmd->add_option("dir", dir)->required();
    show_cmd->add_option("node", node);
    bool as_json = false;
    show_cmd->add_flag("--json", as_json, "one JSON object per module, one per line");
    auto *fault_cmd = app.add_subcommand("fault", "queue a fault for a module's next commands");
    fault_cmd->add_option("dir", dir)->required();
    fault_cmd->add_option("node", node)->required();
    fault_cmd->add_option("kind", value, "eio, enodev, no-magic, slow, hang, vanish, disconnect, short or short-phase")
        ->required();
    unsigned times = 1;
    int opcode = -1;
    fault_cmd->add_option("--times", times, "commands it applies to (0: for good)");
    fault_cmd->add_option("--opcode", opcode, "only commands with this opcode (0x28 read, 0x2a write)");
    unsigned skip = 0, delay_ms = 0;
    fault_cmd->add_option("--skip", skip, "matching commands to let pass first");
    fault_cmd->add_option("--delay", delay_ms, "milliseconds each command takes (a slow module; with hang, a hung one)");
    auto *unplug = app.add_subcommand("unplug", "pull a module out");
    unplug->add_option("dir", dir)->required();
    unplug->add_option("node", node)->required();
    auto *plug = app.add_subcommand("plug", "plug an unplugged module back in, on its node");
    plug->add_option("dir", dir)->required();
    plug->add_option("node", node)->required();
    auto *env = app.add_subcommand("env", "print shell exports for a testbed");
    env->add_option("dir", dir)->required();

    try {
        app.parse(own, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    try {
        if (*create) {
            kdxsim::Testbed bed(dir, true);
            if (virtual_clock) {
                bed.store().use_virtual_clock(0);
            }
            if (log_limit != 0) {
                bed.store().set_log_limit(log_limit);
            }
            add_modules(bed, modules);
            return 0;
        }
        if (*inputs) {
            const kdxsim::Testbed bed(dir, false);
            bed.set_inputs(node, parse_number(value));
            return 0;
        }
        if (*pulse) {
            const kdxsim::Testbed bed(dir, false);
            const uint64_t count = parse_number(count_text);
            const uint64_t width_us = width_text.empty() ? 0 : parse_number(width_text);
            if (count > UINT32_MAX || channel >= 64) {
                throw std::invalid_argument("channel 0 to 63, count up to 4294967295");
            }
            pulse_train(bed, node, channel, static_cast<uint32_t>(count), width_us);
            return 0;
        }
        if (*advance) {
            const kdxsim::Testbed bed(dir, false);
            bed.advance(parse_number(value));
            return 0;
        }
        if (*show_cmd) {
            const kdxsim::Testbed bed(dir, false);
            for (const std::string &name : node.empty() ? bed.nodes() : std::vector{node}) {
                std::cout << (as_json ? show_json(bed, name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n" : show(bed, name));
            }
            return 0;
        }
        if (*fault_cmd) {
            const kdxsim::Testbed bed(dir, false);
            kdxsim::Fault fault = named_fault(value);
            std::snprintf(fault.node, sizeof fault.node, "%s", node.c_str());
            fault.times = times;
            fault.opcode = opcode;
            fault.skip = skip;
            fault.delay_ms = delay_ms;
            bed.inject(fault);
            return 0;
        }
        if (*unplug) {
            const kdxsim::Testbed bed(dir, false);
            bed.unplug(node);
            return 0;
        }
        if (*plug) {
            const kdxsim::Testbed bed(dir, false);
            bed.plug(node);
            return 0;
        }
        if (*env) {
            const kdxsim::Testbed bed(dir, false);
            std::cout << "export " << kdxsim::kTestbedEnv << "=" << fs::absolute(dir).string() << "\n"
                      << "export LD_PRELOAD=" << preload_library() << "\n";
            return 0;
        }
        if (program.empty()) {
            std::cerr << "kdx7400-sim: nothing to run (kdx7400-sim --help)\n";
            return 2;
        }
        std::optional<kdxsim::Testbed> temporary;
        std::optional<kdxsim::Testbed> kept;
        kdxsim::Testbed *bed = nullptr;
        if (testbed_dir.empty()) {
            bed = &temporary.emplace();
            if (!virtual_clock) {
                bed->store().use_real_clock();
            }
        } else {
            bed = &kept.emplace(testbed_dir, true);
            if (virtual_clock) {
                bed->store().use_virtual_clock(0);
            }
        }
        if (log_limit != 0) {
            bed->store().set_log_limit(log_limit);
        }
        add_modules(*bed, modules);
        std::cerr << "kdx7400-sim: testbed " << bed->root() << "\n";
        set_environment(*bed);
        return run_program(program);
    } catch (const std::exception &e) {
        std::cerr << "kdx7400-sim: " << e.what() << "\n";
        return 1;
    }
}
