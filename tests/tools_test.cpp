// SPDX-License-Identifier: MIT
// kdxio, kdx7400-sim and the examples, run as programs against virtual
// modules, the way a person or a script would run them.
#include "support.h"

#include "../tools/common/numbers.h"

#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <chrono>
#include <csignal>
#include <sstream>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace kdxtest;
using json = nlohmann::json;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Each line of a --json stream.
std::vector<json> json_lines(const std::string &out) {
    std::vector<json> lines;
    std::istringstream text(out);
    for (std::string line; std::getline(text, line);) {
        lines.push_back(json::parse(line));
    }
    return lines;
}

class Tools : public ModuleTest {
protected:
    void SetUp() override {
        VirtualModule wanted;
        wanted.board_id = 3;
        node = bed.add_module(wanted);
    }

    // as_nobody: the program runs as uid and gid 65534, outside every group.
    pid_t spawn(const std::vector<std::string> &args, bool as_nobody = false) {
        const std::string out = bed.root() + "/out." + std::to_string(runs_);
        const std::string err = bed.root() + "/err." + std::to_string(runs_);
        ++runs_;
        const pid_t child = kdxtest::fork_child();
        if (child == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (as_nobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                ::_exit(126);
            }
            ::prctl(PR_SET_PDEATHSIG, SIGKILL); // a change of user cleared it
            std::vector<char *> argv;
            for (const std::string &arg : args) {
                argv.push_back(const_cast<char *>(arg.c_str()));
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return child;
    }

    // A program that hangs is killed after a minute and fails its test
    // (status 128 + SIGKILL) instead of holding the whole run.
    Outcome wait_for(pid_t child) {
        Outcome outcome;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        pid_t ended = 0;
        while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
            ::usleep(5000);
        }
        if (ended == 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            ADD_FAILURE() << "a program ran past a minute and was killed";
        }
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        outcome.out = slurp(bed.root() + "/out." + std::to_string(runs_ - 1));
        outcome.err = slurp(bed.root() + "/err." + std::to_string(runs_ - 1));
        return outcome;
    }

    Outcome run(const std::vector<std::string> &args, bool as_nobody = false) {
        return wait_for(spawn(args, as_nobody));
    }

    Outcome kdxio(std::vector<std::string> args) {
        args.insert(args.begin(), {KDXIO_PATH, "-p", "0x7401", "-b", "3"});
        return run(args);
    }

    json kdxio_json(std::vector<std::string> args) {
        args.push_back("--json");
        const Outcome outcome = kdxio(args);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        return json::parse(outcome.out);
    }

    int runs_ = 0;
};

TEST_F(Tools, InfoReportsTheModule) {
    bed.update(node, [](kdxsim::ModuleState &s) { std::memcpy(s.registers.nickname, "bench", 5); });
    // The shape of kdx7400d's GET /api/modules/{id}, as far as kdxio reads.
    const json info = kdxio_json({"info"});
    const json &identity = info["identity"];
    EXPECT_EQ(identity["product_id"], 0x7401);
    EXPECT_EQ(identity["board_id"], 3);
    EXPECT_EQ(identity["counts"]["di"], 16);
    EXPECT_EQ(identity["counts"]["do"], 16);
    EXPECT_EQ(identity["firmware_version"], 0x0102);
    EXPECT_EQ(identity["firmware_date"], "2026-03-14");
    EXPECT_EQ(identity["product"], "KDX-7401      #3");
    EXPECT_EQ(info["nickname"], "bench");
    EXPECT_EQ(info["outputs"], "0x0000000000000000");
    EXPECT_EQ(info["write_protect"], false);
    const Outcome text = kdxio({"info"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("channels          DO 16, DI 16"), std::string::npos);
}

TEST_F(Tools, OutputsAreSetSwitchedAndRead) {
    EXPECT_EQ(kdxio({"do", "set", "0b11110000"}).status, 0);
    EXPECT_EQ(kdxio({"do", "on", "0", "1"}).status, 0);
    EXPECT_EQ(kdxio({"do", "off", "4"}).status, 0);
    EXPECT_EQ(state().registers.do_value, 0xE3u);
    const Outcome get = kdxio({"do", "get"});
    EXPECT_EQ(get.out, "0x00e3\n");
    EXPECT_EQ(kdxio_json({"do", "get"})["outputs"], "0x00000000000000e3");
    EXPECT_EQ(kdxio({"do", "power-on", "255"}).status, 0);
    EXPECT_EQ(kdxio({"do", "power-on"}).out, "0x00ff\n");
    EXPECT_EQ(kdxio({"do", "safety", "0xff", "0x0f"}).status, 0);
    EXPECT_EQ(kdxio({"do", "safety"}).out, "0x00ff 0x000f\n");
    EXPECT_EQ(kdxio({"do", "invert", "1"}).status, 0);
    EXPECT_EQ(kdxio({"do", "invert"}).out, "1\n");
}

TEST_F(Tools, InputsCountersAndSettings) {
    bed.set_inputs(node, 0x1);
    bed.set_inputs(node, 0x0);
    bed.set_inputs(node, 0x5);
    EXPECT_EQ(kdxio({"di", "get"}).out, "0x0005\n");
    EXPECT_EQ(kdxio({"di", "2"}).out, "1\n");
    EXPECT_EQ(kdxio_json({"di", "1"})["state"], 0);
    const json counters = kdxio_json({"counter", "read"});
    EXPECT_EQ(counters["counters"][0], 2);
    EXPECT_EQ(counters["counters"][2], 1);
    EXPECT_EQ(kdxio({"counter", "read", "0"}).out, "2\n");
    EXPECT_EQ(kdxio({"counter", "clear-channel", "0"}).status, 0);
    EXPECT_EQ(kdxio({"counter", "read", "0"}).out, "0\n");
    EXPECT_EQ(kdxio({"counter", "clear", "0xffff"}).status, 0);
    EXPECT_EQ(state().registers.counters[2], 0u);
    EXPECT_EQ(kdxio({"di", "filter", "300"}).status, 0);
    EXPECT_EQ(kdxio({"di", "filter"}).out, "300\n");
    EXPECT_EQ(kdxio({"di", "edge", "1"}).status, 0);
    EXPECT_EQ(kdxio_json({"di", "edge"})["edge"], 1);
    EXPECT_EQ(kdxio({"di", "invert", "2"}).status, 2) << "0 or 1 only";
}

// Every setting's range is the library's own check (KDX7400_CheckSetting),
// refused by kdxio as a usage error before anything is written.
TEST_F(Tools, SettingsOutOfRangeAreRefusedByTheLibrarysRule) {
    struct Row {
        std::vector<std::string> args;
        const char *refusal;
    };
    const Row rows[] = {
        {{"di", "invert", "2"}, "kdxio: input inversion must be 0 or 1, not 2"},
        {{"di", "edge", "2"}, "kdxio: counter edge must be 0 (rising) or 1 (falling), not 2"},
        {{"di", "filter", "65536"}, "kdxio: input filter must be 0 to 65535, not 65536"},
        {{"do", "invert", "0x2"}, "kdxio: output inversion must be 0 or 1, not 0x2"},
        {{"protect", "2"}, "kdxio: protect must be 0 or 1, not 2"},
        {{"frame-rate", "256"}, "kdxio: frame-rate must be 0 to 255, not 256"},
        {{"watchdog", "set", "1800001"}, "kdxio: watchdog timeout must be 100 to 1800000 ms, or 0 (off), not 1800001"},
        {{"name", std::string(33, 'n')}, "kdxio: a nickname holds at most 32 bytes; this one has 33"},
    };
    bed.clear_commands();
    for (const Row &row : rows) {
        const Outcome outcome = kdxio(row.args);
        EXPECT_EQ(outcome.status, 2) << row.args[0];
        EXPECT_EQ(outcome.err.substr(0, outcome.err.find('\n')), row.refusal);
    }
    for (const kdxsim::Command &command : transfers()) {
        EXPECT_NE(command.cdb.at(0), 0x2A) << "a refused setting was written";
    }
    EXPECT_EQ(kdxio({"watchdog", "set", "500"}).status, 0);
    EXPECT_EQ(kdxio({"watchdog", "set", "0"}).status, 0) << "0 turns it off, as in the API";
    EXPECT_EQ(state().registers.wdt_timeout, 0u);
}

TEST_F(Tools, SettingsWatchdogAndCommands) {
    EXPECT_EQ(kdxio({"name", "rig 7"}).status, 0);
    EXPECT_EQ(kdxio({"name"}).out, "rig 7\n");
    EXPECT_EQ(kdxio({"protect", "1"}).status, 0);
    EXPECT_EQ(kdxio({"protect"}).out, "1\n");
    EXPECT_EQ(kdxio({"frame-rate", "9"}).status, 0);
    EXPECT_EQ(kdxio({"frame-rate"}).out, "9\n");
    EXPECT_EQ(kdxio({"opcode", "0x42"}).status, 0);
    EXPECT_EQ(kdxio_json({"opcode"})["opcode"], 0x42);
    EXPECT_EQ(kdxio({"watchdog", "set", "500"}).status, 0);
    EXPECT_EQ(kdxio({"watchdog", "get"}).out, "500\n");
    bed.advance(600);
    EXPECT_EQ(state().registers.wdt_expired, 1);
    EXPECT_EQ(kdxio({"watchdog", "clear"}).status, 0);
    EXPECT_EQ(state().registers.wdt_expired, 0);
    EXPECT_EQ(kdxio({"watchdog", "off"}).status, 0);
    EXPECT_EQ(kdxio({"watchdog", "get"}).out, "0\n");
    EXPECT_EQ(kdxio({"name"}).out, "rig 7\n") << "off is not a reset to defaults";
    EXPECT_EQ(kdxio({"frame-rate"}).out, "9\n");
    for (const char *command : {"default", "sync", "reset"}) {
        EXPECT_EQ(kdxio({command}).status, 0) << command << ": stdin is not a terminal";
    }
    const auto seen = state().seen;
    EXPECT_EQ(seen.load_default + seen.sync + seen.reset, 3u);
}

TEST_F(Tools, FailuresAndUsageErrorsHaveTheirExitStatus) {
    Outcome outcome = kdxio({"watchdog", "set", "99"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err.substr(0, outcome.err.find('\n')),
              "kdxio: watchdog timeout must be 100 to 1800000 ms, or 0 (off), not 99");
    outcome = run({KDXIO_PATH, "-p", "0x7401", "-b", "4", "info"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "kdxio: open 0x7401 board 4: no matching module found (-1)\n");
    bed.inject(ioctl_error(EIO));
    outcome = kdxio({"do", "get"});
    EXPECT_EQ(outcome.status, 1);
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"do", "set", "0xzz"},
                                               {"do", "set"},
                                               {"do", "frobnicate"},
                                               {"bogus"},
                                               {"do", "on", "64"}}) {
        outcome = kdxio(args);
        EXPECT_EQ(outcome.status, 2) << args.back();
        EXPECT_NE(outcome.err.find("usage: kdxio"), std::string::npos) << outcome.err;
    }
    outcome = run({KDXIO_PATH, "info"});
    EXPECT_EQ(outcome.status, 2) << "no module named";
    for (const char *command : {"do", "di", "counter", "watchdog", "name", "monitor", "raw"}) {
        outcome = run({KDXIO_PATH, command, "--help"});
        EXPECT_EQ(outcome.status, 0) << command;
        EXPECT_FALSE(outcome.out.empty()) << command;
    }
}

TEST_F(Tools, CommandsThatChangeTheModuleAskForYesAtATerminal) {
    if (::access("/usr/bin/script", X_OK) != 0) {
        GTEST_SKIP() << "script(1) is not installed";
    }
    // script gives the command a terminal as its standard input. The
    // preload goes to kdxio alone, not to script itself.
    const char *preloaded = std::getenv("LD_PRELOAD");
    const std::string preload = preloaded != nullptr ? preloaded : "";
    const std::string kdxio =
        "env LD_PRELOAD='" + preload + "' " + KDXIO_PATH + " -p 0x7401 -b 3 ";
    ::unsetenv("LD_PRELOAD");
    const Outcome refused = run({"/usr/bin/script", "-qec", kdxio + "reset", "/dev/null"});
    const std::size_t resets_refused = state().seen.reset;
    const Outcome confirmed = run({"/usr/bin/script", "-qec", kdxio + "reset --yes", "/dev/null"});
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.out.find("add --yes to confirm"), std::string::npos) << refused.out;
    EXPECT_EQ(resets_refused, 0u);
    EXPECT_EQ(confirmed.status, 0) << confirmed.out;
    EXPECT_EQ(state().seen.reset, 1u);
}

TEST_F(Tools, ListingInBothForms) {
    VirtualModule second;
    second.board_id = 10;
    bed.add_module(second);
    const Outcome plain = run({KDXIO_PATH, "list", "--plain"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, capture_stdout([] { KDX7400_ListDevice(); }));
    const Outcome listed = run({KDXIO_PATH, "list", "--json"});
    const json list = json::parse(listed.out);
    ASSERT_EQ(list.size(), 2u);
    std::set<int> boards;
    for (const json &entry : list) {
        EXPECT_EQ(entry["product_id"], 0x7401);
        EXPECT_EQ(entry["product_id_hex"], "0x7401");
        EXPECT_EQ(entry["name"], "KDX7401");
        EXPECT_EQ(entry["product"].get<std::string>().substr(0, 14), "KDX-7401      ");
        EXPECT_EQ(entry["product"].get<std::string>().find("1.00"), std::string::npos)
            << "no revision";
        boards.insert(entry["board_id"].get<int>());
    }
    EXPECT_EQ(boards, (std::set<int>{3, 10}));
}

TEST_F(Tools, TheGadgetWithoutAControllerSaysWhatToLoad) {
    if (::access("/sys/class/udc", F_OK) == 0) {
        GTEST_SKIP() << "this machine has USB device controllers";
    }
    const Outcome outcome = run({GADGET_PATH, "--testbed", bed.root(), "--module", "pid=0x7401"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("no USB device controller"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("modprobe dummy_hcd"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("filesystem error"), std::string::npos) << outcome.err;
}

// One vocabulary of numbers for every tool: no octal, no sign, a product ID
// always hex, a board ID as the listing shows it.
TEST(Numbers, EveryToolReadsATextTheSameWay) {
    struct Row {
        const char *text;
        std::optional<uint64_t> number, product, board;
    };
    const Row rows[] = {
        {"010", 10, 0x10, 10},   {"-1", {}, {}, {}},         {"A", {}, 0xA, 10},
        {"0x7401", 0x7401, 0x7401, {}}, {"7401", 7401, 0x7401, {}}, {"0b101", 5, 0xB101, {}},
        {" 1", {}, {}, {}},      {"", {}, {}, {}},           {"16", 16, 0x16, {}},
    };
    const auto attempt = [](auto parse) -> std::optional<uint64_t> {
        try {
            return parse();
        } catch (const std::invalid_argument &) {
            return std::nullopt;
        }
    };
    for (const Row &row : rows) {
        const std::string text = row.text;
        EXPECT_EQ(attempt([&] { return kdxtext::parse_number(text, UINT64_MAX, "n"); }), row.number) << text;
        EXPECT_EQ(attempt([&] { return uint64_t{kdxtext::parse_product_id(text)}; }), row.product) << text;
        EXPECT_EQ(attempt([&] { return uint64_t{kdxtext::parse_board_id(text)}; }), row.board) << text;
    }
}

// The tools that read their own way before: the sim's inputs took octal and
// a sign, its module descriptions refused a board digit with "stoul".
TEST_F(Tools, TheSimAndTheDaemonReadNumbersAsKdxioDoes) {
    EXPECT_EQ(run({SIM_PATH, "inputs", bed.root(), node, "010"}).status, 0);
    EXPECT_EQ(state().registers.di_physical, 10u) << "010 is ten, not eight";
    EXPECT_EQ(run({SIM_PATH, "inputs", bed.root(), node, "-1"}).status, 1);
    EXPECT_EQ(state().registers.di_physical, 10u);
    const Outcome board = run({SIM_PATH, "create", bed.root(), "--module", "pid=7401,bid=A,sg=9"});
    EXPECT_EQ(board.status, 0) << board.err;
    EXPECT_EQ(run({KDXIO_PATH, "-p", "7401", "-b", "A", "do", "get"}).status, 0);
    const Outcome refused = run({SIM_PATH, "create", bed.root(), "--module", "pid=7401,bid=G"});
    EXPECT_NE(refused.err.find("invalid board ID 'G'"), std::string::npos) << refused.err;
    const Outcome daemon = run({KDX7400D_PATH, "--module", "1=7401:-1"});
    EXPECT_EQ(daemon.status, 2);
    EXPECT_NE(daemon.err.find("invalid board ID '-1'"), std::string::npos) << daemon.err;
}

TEST_F(Tools, EveryProgramExitsTwoOnAUsageError) {
    const std::vector<std::vector<std::string>> mistakes = {
        {KDXIO_PATH, "--bogus"},
        {KDXIO_PATH, "do", "on"},
        {SIM_PATH, "--bogus"},
        {GADGET_PATH, "--module", "pid=0x7401"}, // no --testbed
        {KDX7400D_PATH, "--bogus"},
        {KDX7400D_PATH, "--all", "--modbus", "127.0.0.1:99999"}, // no such port: not some other one
        {KDX7400D_PATH, "--all", "--modbus", "127.0.0.1:0"},
        {KDX7400D_PATH, "--all", "--modbus", "abc"},
        {KDX7400D_PATH, "--all", "--modbus", "localhost:502"}, // numeric only
        {KDX7400D_PATH, "--all", "--modbus", "[::1]:"},
        {KDX7400D_PATH, "--module", "0=7401:3"},
        {KDX7400D_PATH, "--module", "1=7401:3", "--module", "1=7401:4"},
        {KDX7400D_PATH, "--all", "--allow", "10.0.0.0/33"},
        {KDX7400D_PATH},                                            // nothing to serve
    };
    for (const auto &args : mistakes) {
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, 2) << args[0] << " " << args[1] << ": " << outcome.err;
        EXPECT_FALSE(outcome.err.empty()) << args[0] << " says why";
    }
}

TEST_F(Tools, ListingWithoutTheSgDriverIsEmptyInBothForms) {
    bed.remove_class_directory();
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{KDXIO_PATH, "list"}, std::vector<std::string>{KDXIO_PATH, "list", "--plain"}}) {
        const std::string form = args.back();
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, 0) << form << outcome.err;
        EXPECT_EQ(outcome.out, "No KDX-7400 devices found.\n") << form;
    }
    const Outcome both = run({KDXIO_PATH, "list", "--plain", "--json"});
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("no --json form"), std::string::npos) << both.err;
}

// --json answers every command with one object: a write, with the state
// it left, under the key and in the shape kdx7400d's API uses for it.
TEST_F(Tools, WriteCommandsAnswerJsonWithTheResultingState) {
    struct Case {
        std::vector<std::string> args;
        const char *key;
        json value;
    };
    const Case cases[] = {
        {{"do", "set", "5"}, "outputs", "0x0000000000000005"},
        {{"do", "on", "4"}, "outputs", "0x0000000000000015"},
        {{"do", "toggle", "0", "1"}, "outputs", "0x0000000000000016"},
        {{"do", "power-on", "0x3"}, "power_on", "0x0000000000000003"},
        {{"do", "safety", "0x3", "0x1"}, "safety", {{"first", "0x0000000000000003"}, {"second", "0x0000000000000001"}}},
        {{"do", "invert", "1"}, "output_inverse", 1},
        {{"di", "get"}, "inputs", "0x0000000000000000"},
        {{"di", "filter", "7"}, "filter", 7},
        {{"di", "invert", "1"}, "input_inverse", 1},
        {{"di", "edge", "1"}, "edge", 1},
        {{"frame-rate", "9"}, "frame_rate_factor", 9},
        {{"name", "rig"}, "nickname", "rig"},
        {{"protect", "1"}, "write_protect", 1}, // after the name: it protects it
        {{"watchdog", "set", "1500"}, "watchdog_timeout", 1500},
        {{"counter", "clear", "0x1"}, "counters", json::array()},
    };
    const json info = kdxio_json({"info"});
    for (const Case &c : cases) {
        const json answer = kdxio_json(c.args);
        ASSERT_TRUE(answer.contains(c.key)) << c.args[0] << " " << answer.dump();
        if (!c.value.is_array()) {
            EXPECT_EQ(answer[c.key], c.value) << c.args[0];
        }
        // info shows only some settings; the rest are named as in kdx7400d's state.
        const std::string key = c.key;
        if (key == "outputs" || key == "inputs" || key == "nickname" || key == "write_protect" ||
            key == "frame_rate_factor" || key == "watchdog_timeout") {
            EXPECT_TRUE(info.contains(c.key)) << c.key << " is named otherwise by info";
        }
    }
    EXPECT_EQ(kdxio({"do", "set", "6"}).out, "") << "text mode stays silent on a write";
}

TEST_F(Tools, RawBlocksInquiryAndCapacity) {
    Outcome outcome = kdxio({"raw", "read", "0x2040", "24"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n')), "dump packages 24 bytes");
    EXPECT_NE(outcome.out.find("000 : A5 77 35 5A"), std::string::npos);
    outcome = kdxio({"inquiry"});
    EXPECT_NE(outcome.out.find("PRODUCT IDENTIFICATION = KDX-7401      #3\n"), std::string::npos);
    EXPECT_EQ(kdxio_json({"capacity"})["bytes"], 2097152);
}

TEST_F(Tools, MonitorPrintsALinePerChange) {
    const pid_t monitor =
        spawn({KDXIO_PATH, "-p", "0x7401", "-b", "3", "monitor", "--json", "--count", "3",
               "--interval", "10"});
    // The monitor's first line shows the state it starts from.
    const auto wait_lines = [&](std::size_t lines) {
        for (int i = 0; i < 2000; ++i) {
            const std::string out = slurp(bed.root() + "/out." + std::to_string(runs_ - 1));
            if (static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')) >= lines) {
                return;
            }
            ::usleep(10000);
        }
    };
    wait_lines(1);
    bed.set_inputs(node, 0x1);
    wait_lines(2);
    bed.set_inputs(node, 0x3);
    const Outcome outcome = wait_for(monitor);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    const std::vector<json> lines = json_lines(outcome.out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["inputs"], "0x0000000000000000");
    EXPECT_EQ(lines[1]["inputs"], "0x0000000000000001");
    EXPECT_EQ(lines[1]["counters"][0], 1);
    EXPECT_EQ(lines[2]["inputs"], "0x0000000000000003");
    EXPECT_EQ(lines[2]["changed_counters"], json::array({1}));
}

// ---- what new users ran into ------------------------------------------------

TEST_F(Tools, MalformedNumbersAreRefusedNotGuessed) {
    for (const char *text : {"\t-1", " 5", "-1", "+1", "0x", "1e3", "0b102", "5 ", "", "0x1_0"}) {
        const Outcome outcome = kdxio({"do", "set", text});
        EXPECT_EQ(outcome.status, 2) << "'" << text << "'";
        EXPECT_NE(outcome.err.find("invalid output mask"), std::string::npos) << outcome.err;
    }
    EXPECT_EQ(state().registers.do_value, 0u);
}

TEST_F(Tools, ChannelsAndBitsTheModuleLacksAreRefusedWithTheRange) {
    struct Case {
        std::vector<std::string> args;
        const char *says;
    };
    const Case cases[] = {
        {{"do", "on", "16"}, "output channel 16 out of range (0 to 15)"},
        {{"do", "off", "3", "99"}, "output channel 99 out of range (0 to 15)"},
        {{"do", "on", "99999"}, "output channel 99999 out of range (0 to 15)"},
        {{"do", "toggle", "2", "16"}, "output channel 16 out of range (0 to 15)"},
        {{"do", "set", "0x1ffff"}, "(0x0000 to 0xffff)"},
        {{"do", "power-on", "0x10000"}, "power-on mask"},
        {{"do", "safety", "0x1", "0x10000"}, "safety mask"},
        {{"counter", "clear", "0x10000"}, "counter mask"},
        {{"counter", "read", "16"}, "counter channel 16 out of range (0 to 15)"},
        {{"counter", "clear-channel", "16"}, "counter channel 16 out of range"},
        {{"di", "16"}, "input channel 16 out of range (0 to 15)"},
    };
    for (const Case &c : cases) {
        bed.clear_commands();
        const Outcome outcome = kdxio(c.args);
        EXPECT_EQ(outcome.status, 2) << c.args[1];
        EXPECT_NE(outcome.err.find(c.says), std::string::npos) << outcome.err;
        for (const Command &command : bed.transfers()) {
            EXPECT_NE(command.cdb[0], kWrite10) << "nothing written for " << c.args[1];
        }
    }
    EXPECT_EQ(state().registers.do_value, 0u);
    EXPECT_EQ(state().registers.do_power_on, 0u);
}

TEST_F(Tools, SeveralChannelsAreOneReadAndOneWrite) {
    bed.update(node, [](kdxsim::ModuleState &s) { s.registers.do_value = 0x100; });
    const int32_t opened = KDX7400_OpenDevice(0x7401, 3); // what opening sends, to subtract
    ASSERT_GE(opened, 0);
    KDX7400_CloseDevice(opened);
    const std::size_t per_open = bed.transfers().size();
    bed.clear_commands();
    EXPECT_EQ(kdxio({"do", "on", "0", "1", "2", "3"}).status, 0);
    const auto sent = bed.transfers();
    ASSERT_EQ(sent.size(), per_open + 2);
    EXPECT_EQ(sent[per_open].cdb[0], kRead10);
    EXPECT_EQ(sent[per_open + 1].cdb[0], kWrite10);
    EXPECT_EQ(state().registers.do_value, 0x10Fu);
}

TEST_F(Tools, ModulesAreNamedAsTheListingShowsThem) {
    VirtualModule ten;
    ten.board_id = 10;
    ten.number = 7;
    bed.add_module(ten);
    bed.update("sg7", [](kdxsim::ModuleState &s) { s.registers.do_value = 0xA; });
    for (const std::vector<std::string> &who :
         std::vector<std::vector<std::string>>{{"-p", "7401", "-b", "A"},
                                               {"-p", "0x7401", "-b", "a"},
                                               {"-p", "7401", "-b", "10"},
                                               {"-d", "/dev/sg7"},
                                               {"--node", "sg7"}}) {
        std::vector<std::string> args = {KDXIO_PATH};
        args.insert(args.end(), who.begin(), who.end());
        args.insert(args.end(), {"do", "get"});
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, 0) << who[1] << ": " << outcome.err;
        EXPECT_EQ(outcome.out, "0x000a\n") << who[1];
    }
    const json info = json::parse(run({KDXIO_PATH, "-p", "7401", "-b", "A", "info", "--json"}).out);
    EXPECT_EQ(info["identity"]["product_id"], 0x7401);
    EXPECT_EQ(info["identity"]["board_id"], 10);
    EXPECT_EQ(info["identity"]["node"], "/dev/sg7");
    for (const char *bad : {"16", "G", "0x10", "-1"}) {
        EXPECT_EQ(run({KDXIO_PATH, "-p", "7401", "-b", bad, "info"}).status, 2) << bad;
    }
    EXPECT_EQ(run({KDXIO_PATH, "-p", "17401", "-b", "3", "info"}).status, 2);
    EXPECT_EQ(run({KDXIO_PATH, "-d", "/dev/sda", "info"}).status, 1);
}

TEST_F(Tools, HelpAndErrorsSayWhatIsWrong) {
    Outcome outcome = run({KDXIO_PATH, "frobnicate"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("unknown command 'frobnicate'"), std::string::npos) << outcome.err;
    outcome = run({KDXIO_PATH, "monitor", "--help"});
    EXPECT_NE(outcome.out.find("--interval"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("--count"), std::string::npos) << outcome.out;
    const auto count = [](const std::string &text, const std::string &part) {
        std::size_t n = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count(run({KDXIO_PATH, "--help"}).out, "Exit status"), 1u);
    EXPECT_EQ(count(run({KDXIO_PATH, "do", "--help"}).out, "Exit status"), 0u);
    EXPECT_NE(run({KDXIO_PATH, "--help"}).out.find("always hexadecimal"), std::string::npos);
    outcome = kdxio({"name", std::string(33, 'n')});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("at most 32 bytes"), std::string::npos);
    outcome = kdxio({"do", "frobnicate"});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("'do' has no verb 'frobnicate'; it takes get, set, on"), std::string::npos)
        << outcome.err;
    outcome = kdxio({"watchdog"});
    EXPECT_NE(outcome.err.find("'watchdog' needs one of get, set, clear, off"), std::string::npos) << outcome.err;
}

TEST_F(Tools, AnOpenAmongSeveralAlikeModulesSaysWhichNodeItTook) {
    EXPECT_EQ(kdxio({"do", "get"}).err, "") << "one module: nothing to say";
    VirtualModule twin;
    twin.board_id = 3;
    twin.number = 12;
    bed.add_module(twin);
    const Outcome outcome = kdxio({"do", "get"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "0x0000\n") << "stdout stays the answer alone";
    EXPECT_EQ(outcome.err, "kdxio: 2 modules are 0x7401 board 3 (/dev/" + node +
                               ", /dev/sg12): using /dev/" + node + "; -d NODE chooses one\n");
}

TEST_F(Tools, MonitorReportsEdgesAndAnUnplug) {
    // Set before the monitor starts: its first line must show it, however
    // soon that line comes.
    bed.set_inputs(node, 0x1);
    const pid_t monitor =
        spawn({KDXIO_PATH, "-p", "0x7401", "-b", "3", "monitor", "--json", "--interval", "10"});
    const auto lines_so_far = [&] {
        const std::string out = slurp(bed.root() + "/out." + std::to_string(runs_ - 1));
        return static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    };
    const auto wait_lines = [&](std::size_t lines) {
        for (int i = 0; i < 2000 && lines_so_far() < lines; ++i) {
            ::usleep(10000);
        }
    };
    wait_lines(1);
    bed.set_inputs(node, 0x2);
    wait_lines(2);
    bed.unplug(node);
    const Outcome outcome = wait_for(monitor);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("module unplugged"), std::string::npos) << outcome.err;
    const std::vector<json> lines = json_lines(outcome.out);
    ASSERT_EQ(lines.size(), 3u) << outcome.out;
    for (const json &line : lines) {
        EXPECT_EQ(line.size(), 8u) << "one schema: " << line.dump();
        const std::string time = line["time"];
        EXPECT_TRUE(time.size() == 29 && time[10] == 'T' && time[19] == '.' &&
                    (time[23] == '+' || time[23] == '-') && time[26] == ':')
            << time;
    }
    EXPECT_EQ(lines[0]["event"], "state");
    EXPECT_EQ(lines[0]["changed_counters"], json::array()) << "the first line is the state";
    EXPECT_EQ(lines[0]["inputs"], "0x0000000000000001");
    EXPECT_EQ(lines[1]["event"], "change");
    EXPECT_EQ(lines[1]["edges"], json::parse(R"([{"channel":0,"edge":"falling"},{"channel":1,"edge":"rising"}])"));
    EXPECT_EQ(lines[2]["event"], "unplugged");
}

// A pulse train faster than the polls: every pulse counted, as pulses the
// levels never showed; a clear by another program is said, never taken for
// billions of pulses.
TEST_F(Tools, MonitorShowsPulsesCountedBetweenPollsAndClears) {
    const pid_t monitor =
        spawn({KDXIO_PATH, "-p", "0x7401", "-b", "3", "monitor", "--json", "--count", "3", "--interval", "50"});
    const std::string out = bed.root() + "/out." + std::to_string(runs_ - 1);
    const auto wait_lines = [&](long lines) {
        for (int i = 0; i < 300; ++i) {
            const std::string text = slurp(out);
            if (std::count(text.begin(), text.end(), '\n') >= lines) return;
            ::usleep(10000);
        }
    };
    wait_lines(1);
    bed.pulse(node, 5, 1000);
    wait_lines(2);
    EXPECT_EQ(kdxio({"counter", "clear", "0x20"}).status, 0);
    const Outcome outcome = wait_for(monitor);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    const std::vector<json> lines = json_lines(slurp(out)); // wait_for reads the last run's: kdxio's
    ASSERT_EQ(lines.size(), 3u) << slurp(out);
    EXPECT_EQ(lines[1]["edges"], json::array()) << "the level never changed at a poll";
    EXPECT_EQ(lines[1]["pulses"], json::parse(R"([{"channel":5,"count":1000}])"));
    EXPECT_EQ(lines[1]["counters"][5], 1000);
    EXPECT_EQ(lines[1]["inputs"], "0x0000000000000000");
    EXPECT_EQ(lines[1]["cleared"], json::array());
    EXPECT_EQ(lines[2]["cleared"], json::array({5}));
    EXPECT_EQ(lines[2]["pulses"], json::array());
    EXPECT_EQ(lines[2]["counters"][5], 0);
}

TEST_F(Tools, SimPulsesAnInputAtOnceOrAsATrain) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run({SIM_PATH, "pulse", bed.root(), node, "2", "300", "250"}).status, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150))
        << "300 pulses of 250 us high and 250 us low take 150 ms";
    EXPECT_EQ(run({SIM_PATH, "pulse", bed.root(), node, "2", "7"}).status, 0);
    EXPECT_EQ(state().registers.counters[2], 307u);
    EXPECT_EQ(state().registers.di_physical, 0u) << "each pulse comes back";
    EXPECT_EQ(run({SIM_PATH, "pulse", bed.root(), node, "64", "1"}).status, 1);
}

TEST_F(Tools, MonitorTextShowsEachEdge) {
    const pid_t monitor = spawn({KDXIO_PATH, "-p", "0x7401", "-b", "3", "monitor", "--count", "2", "--interval", "10"});
    for (int i = 0; i < 200 && slurp(bed.root() + "/out." + std::to_string(runs_ - 1)).empty(); ++i) {
        ::usleep(10000);
    }
    bed.set_inputs(node, 0x8);
    const Outcome outcome = wait_for(monitor);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.out.find(" inputs=0x0008 c3=1\n"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find(" in 3 rising\n"), std::string::npos) << outcome.out;
}

TEST_F(Tools, SimRunsAProgramAgainstItsOwnModules) {
    ::unsetenv(kdxsim::kTestbedEnv);
    const Outcome outcome = run({SIM_PATH, "--module", "pid=0x7405,bid=3,di=8,do=32", "--", KDXIO_PATH,
                                 "-p", "0x7405", "-b", "3", "info", "--json"});
    bed.make_current();
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const json info = json::parse(outcome.out);
    EXPECT_EQ(info["identity"]["counts"]["di"], 8);
    EXPECT_EQ(info["identity"]["counts"]["do"], 32);
    EXPECT_NE(outcome.err.find("kdx7400-sim: testbed "), std::string::npos);
}

TEST_F(Tools, SimDrivesAnExistingTestbed) {
    EXPECT_EQ(run({SIM_PATH, "inputs", bed.root(), node, "0b101"}).status, 0);
    EXPECT_EQ(state().registers.di_physical, 5u);
    EXPECT_EQ(run({SIM_PATH, "advance", bed.root(), "250"}).status, 0);
    const Outcome shown = run({SIM_PATH, "show", bed.root()});
    EXPECT_NE(shown.out.find("inputs=0x5"), std::string::npos);
    EXPECT_EQ(run({SIM_PATH, "inputs", bed.root(), node, "0xzz"}).status, 1);
    EXPECT_EQ(run({SIM_PATH, "unplug", bed.root(), node}).status, 0);
    EXPECT_EQ(kdxio({"info"}).status, 1);
}

// Back on its node, powered up afresh; a descriptor from before stays dead.
TEST_F(Tools, SimPlugsAnUnpluggedModuleBackIn) {
    ASSERT_EQ(kdxio({"do", "power-on", "0x3"}).status, 0);
    ASSERT_EQ(kdxio({"do", "set", "0xf0"}).status, 0);
    ASSERT_EQ(kdxio({"name", "press 4"}).status, 0);
    bed.set_inputs(node, 0x1);
    const int32_t before = KDX7400_OpenDevice(0x7401, 3);
    ASSERT_GE(before, 0);
    EXPECT_EQ(run({SIM_PATH, "plug", bed.root(), node}).status, 1) << "plugged in already";
    EXPECT_EQ(run({SIM_PATH, "unplug", bed.root(), node}).status, 0);
    EXPECT_EQ(kdxio({"do", "get"}).status, 1);
    const Outcome plugged = run({SIM_PATH, "plug", bed.root(), node});
    EXPECT_EQ(plugged.status, 0) << plugged.err;
    EXPECT_EQ(kdxio({"do", "get"}).out, "0x0003\n") << "outputs at their power-on values";
    EXPECT_EQ(kdxio({"name"}).out, "press 4\n");
    EXPECT_EQ(kdxio({"counter", "read", "0"}).out, "0\n");
    EXPECT_EQ(kdxio({"list", "--json"}).out.find(node) != std::string::npos, true);
    uint64_t outputs = 0;
    EXPECT_EQ(KDX7400_DO_ReadValue(before, &outputs), RESULT_READ_FAILED) << "the old descriptor is gone";
    KDX7400_CloseDevice(before);
}

TEST_F(Tools, WatchExamplesPrintEdgesAndPulsesBetweenSamples) {
    const std::vector<std::vector<std::string>> programs = {
        // The product ID as kdxio and the listing write it: hexadecimal.
        {std::string(EXAMPLES_DIR "/watch_inputs"), "7401", "3", "2"},
        {std::string(EXAMPLES_DIR "/watch_inputs_cpp"), "7401", "3", "2"},
        // Python's own allocations are no leaks of ours (sanitizer builds).
        {"/usr/bin/env", "PYTHONPATH=" PY_PACKAGE_DIR, "KDX7400_LIBRARY=" LIBRARY_FILE, "ASAN_OPTIONS=detect_leaks=0",
         "/usr/bin/python3", PY_EXAMPLES_DIR "/watch_inputs.py", "7401", "3", "2"},
    };
    for (const auto &program : programs) {
        SCOPED_TRACE(program[0] + " " + program[1]);
        bed.set_inputs(node, 0x0);
        const pid_t watcher = spawn(program);
        const std::string out = bed.root() + "/out." + std::to_string(runs_ - 1);
        for (int i = 0; i < 500 && slurp(out).find('\n') == std::string::npos; ++i) {
            ::usleep(10000);
        }
        bed.set_inputs(node, 0x1);
        bed.pulse(node, 5, 100);
        const Outcome outcome = wait_for(watcher);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        // Levels and counters are two reads: a change between them shows
        // as input 0's counted pulse in this sample and its edge in the next.
        EXPECT_TRUE(outcome.out == "watching inputs 0x0000\nin 0 rising\nin 5: 100 pulses\n" ||
                    outcome.out == "watching inputs 0x0000\nin 0: 1 pulses\nin 5: 100 pulses\n")
            << outcome.out;
    }
}

TEST_F(Tools, ExamplesRunAgainstAVirtualModule) {
    for (const std::string suffix : {"", "_cpp"}) {
        SCOPED_TRACE(suffix.empty() ? "C" : "C++");
        const auto example = [&](const char *name, const char *bid = "3") {
            return run({std::string(EXAMPLES_DIR "/") + name + suffix, suffix.empty() ? "7401" : "0x7401", bid});
        };
        bed.update(node, [](kdxsim::ModuleState &s) { s.registers.do_value = 0; });
        bed.set_inputs(node, 0x0000);
        Outcome outcome = example("toggle_output");
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, "outputs 0x0001\noutputs 0x0000\noutputs 0x0001\noutputs 0x0000\n");

        bed.set_inputs(node, 0x0002);
        outcome = example("read_inputs");
        EXPECT_EQ(outcome.status, 0);
        EXPECT_NE(outcome.out.find("DI0=0\nDI1=1\nDI2=0\n"), std::string::npos);

        bed.set_inputs(node, 0x0000);
        bed.set_inputs(node, 0x0002);
        outcome = example("watch_counters");
        EXPECT_EQ(outcome.out, "counter 1: 2\n");
        EXPECT_EQ(state().registers.counters[1], 0u);

        outcome = example("feed_watchdog");
        EXPECT_EQ(outcome.out, "watchdog timeout 500\nfed 3 times\n");
        EXPECT_EQ(state().registers.wdt_timeout, 500u);

        outcome = example("toggle_output", "9");
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.err.find("no matching module found"), std::string::npos);
    }
}

// Each example in its three languages, as a person starts it.
std::vector<std::string> example_command(const std::string &language, const std::string &name) {
    if (language == "C") return {std::string(EXAMPLES_DIR "/") + name};
    if (language == "C++") return {std::string(EXAMPLES_DIR "/") + name + "_cpp"};
    return {"/usr/bin/env",          "PYTHONPATH=" PY_PACKAGE_DIR, "KDX7400_LIBRARY=" LIBRARY_FILE,
            "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/python3", PY_EXAMPLES_DIR "/" + name + ".py"};
}

TEST_F(Tools, ExamplesReadModuleIdsAsKdxioDoes) {
    VirtualModule ten;
    ten.board_id = 10;
    bed.add_module(ten);
    struct Case {
        const char *pid, *bid;
        int status; // 2: a usage error, before any open
        const char *said;
    };
    const Case cases[] = {
        {"7401", "3", 0, "outputs 0x0001"},
        {"0x7401", "A", 0, "outputs 0x0001"},  // the listing's hex digit
        {"7401", "010", 0, "outputs 0x0001"},  // ten, as kdxio reads it, not octal eight
        {"7401", "259", 2, "not a module's IDs"}, // was cut to board 3
        {"7401", "16", 2, "not a module's IDs"},
        {"7401", "G", 2, "not a module's IDs"}, // C++ aborted, Python raised
        {"7401", "", 2, "not a module's IDs"},
        {"17401", "3", 2, "not a module's IDs"}, // was cut to 0x7401
        {"74x1", "3", 2, "not a module's IDs"},
        {"7402", "3", 1, "no matching module found"},
    };
    for (const char *language : {"C", "C++", "Python"}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(language) + " " + c.pid + " " + c.bid);
            std::vector<std::string> command = example_command(language, "toggle_output");
            command.insert(command.end(), {c.pid, c.bid});
            const Outcome outcome = run(command);
            EXPECT_EQ(outcome.status, c.status) << outcome.err;
            EXPECT_NE((outcome.out + outcome.err).find(c.said), std::string::npos) << outcome.out << outcome.err;
        }
        // Bounded: a COUNT misread as 0 watches for ever.
        std::vector<std::string> watch = example_command(language, "watch_inputs");
        watch.insert(watch.begin(), {"/usr/bin/timeout", "10"});
        watch.insert(watch.end(), {"7401", "3", "x"});
        const Outcome outcome = run(watch);
        EXPECT_EQ(outcome.status, 2) << language << ": " << outcome.err;
        EXPECT_NE(outcome.err.find("COUNT is a number of events"), std::string::npos) << language;
    }
}

// A user outside the nodes' group is told so, and how to mend it, never
// that no module is there.
TEST_F(Tools, ExamplesSayWhenTheUserMayNotOpenTheModule) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a program as another user";
    ASSERT_EQ(::chmod(bed.root().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((bed.root() + "/dev/" + node).c_str(), 0600), 0);
    if (run({"/usr/bin/test", "-x", EXAMPLES_DIR "/toggle_output"}, true).status != 0) {
        GTEST_SKIP() << "uid 65534 cannot reach the build tree here";
    }
    for (const char *language : {"C", "C++", "Python"}) {
        SCOPED_TRACE(language);
        std::vector<std::string> command = example_command(language, "toggle_output");
        command.insert(command.end(), {"7401", "3"});
        const Outcome outcome = run(command, true);
        EXPECT_EQ(outcome.status, 1) << outcome.err;
        EXPECT_NE(outcome.err.find("group kdx7400"), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("usermod -aG kdx7400"), std::string::npos) << outcome.err;
    }
}

} // namespace
