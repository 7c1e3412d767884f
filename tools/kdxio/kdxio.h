// SPDX-License-Identifier: MIT
// kdxio's shared pieces: options, errors, number parsing, output and the
// module a command works on. Each command family lives in a file of its
// own and uses the library only through kdx7400.hpp.
#pragma once

#include "kdx7400.hpp"

// Declarations only: the two libraries' headers are most of a file's
// compile time, so only the files that use them include them whole.
#include <nlohmann/json_fwd.hpp>

namespace CLI {
class App;
}

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kdxio {

using json = nlohmann::json;

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// A mistake on the command line: exit 2 with the usage hint.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure to report as it is: exit 1, the text on stderr.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string pid_text;
    std::string bid_text;
    std::string node;
    bool json = false;
    bool yes = false;
    unsigned interval_ms = 100;
    unsigned count = 0;
    std::vector<std::string> values; // the command's own arguments
    std::string verb;                // the word after the command, if any
};

// ---- numbers (numbers.cpp) ---------------------------------------------------

// Hex (0x), binary (0b) or decimal digits and nothing else, up to limit.
uint64_t parse_number(const std::string &text, uint64_t limit, const std::string &what);
// The product ID, always hexadecimal, with or without 0x.
uint16_t parse_product_id(const std::string &text);
// The board ID as the listing shows it (one hex digit) or as 0 to 15.
uint8_t parse_board_id(const std::string &text);
// A mask whose bits name only channels the module has, of its outputs
// (KDX7400_OUTPUTS) or inputs (KDX7400_INPUTS); a usage error otherwise.
uint64_t parse_mask(const std::string &text, const kdx::Module &module, int family, const char *kind);
// A setting's value (KDX7400_SETTING_*) the library's own check admits:
// "WHAT must be RULE, not TEXT" as a usage error otherwise.
uint64_t parse_setting(const std::string &text, const kdx::Module &module, int32_t setting, const std::string &what,
                       const std::string &rule);
// The library's check of a setting's value; refusal as a usage error.
void check_setting(const kdx::Module &module, int32_t setting, uint64_t value, const std::string &refusal);
// A channel the module has, of its outputs or inputs.
uint8_t parse_channel(const std::string &text, const kdx::Module &module, int family, const char *kind);
std::string hex_mask(uint64_t value, unsigned channels);
std::string hex(uint64_t value, int digits);

// ---- output (output.cpp) -----------------------------------------------------

void emit(const Options &options, const json &object, const std::string &text);
// Whether a verb prints the module's state: a read always, a write (silent
// in text) only for --json, which answers every command with one object.
bool shows_state(const Options &options, const std::string &verb);
// A mask as {key: "0x" and 16 hex digits} (kdx7400d's shape) or its hex
// text, as wide as the module's channels.
void print_mask(const Options &options, const char *key, uint64_t value, unsigned channels);
void need_values(const Options &options, std::size_t least, std::size_t most, const char *usage);

// ---- the module (module.cpp) -------------------------------------------------

// Opens the module the options name: -d NODE, or -p PID -b BID.
kdx::Module open_module(const Options &options);

// ---- commands, one registration function per family --------------------------

using Run = std::function<void()>;
using Handler = std::function<void(const Options &, const std::string &verb)>;

// A command with verbs ("do get", "do set MASK"): each verb takes its
// arguments into options.values and runs handler.
CLI::App *add_family(CLI::App &app, Options &options, Run &run, const char *name,
                     const char *description,
                     std::vector<std::pair<const char *, const char *>> verbs, Handler handler);
void add_list(CLI::App &app, Options &options, Run &run);
void add_info(CLI::App &app, Options &options, Run &run);
void add_outputs(CLI::App &app, Options &options, Run &run);
void add_inputs(CLI::App &app, Options &options, Run &run);
void add_counters(CLI::App &app, Options &options, Run &run);
void add_settings(CLI::App &app, Options &options, Run &run);
void add_watchdog(CLI::App &app, Options &options, Run &run);
void add_monitor(CLI::App &app, Options &options, Run &run);
void add_raw(CLI::App &app, Options &options, Run &run);

} // namespace kdxio
