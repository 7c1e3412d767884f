// SPDX-License-Identifier: MIT
// The service core: what any front end may do to a module, as typed
// operations. Each holds the module's lock, checks with the library's own
// checks before the first write, and tells the worker (and so every event
// stream) what the library said it did, never what was asked. Modbus and
// HTTP only translate addresses or JSON into these.
#pragma once

#include "core/fixed_text.h"
#include "kdx7400.hpp"

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kdxd::service {

// Told what an operation did to its module: the worker passes it on to
// the event streams and keeps what it must know (the watchdog).
struct ModuleSettings;
struct Settings;

class Observer {
public:
    virtual void outputs_are(uint64_t outputs, bool written) = 0;
    virtual void renamed(const std::string &nickname) = 0;
    virtual void watchdog_is(uint32_t ms) = 0;
    // Counters this program cleared: the inputs' watch counts from zero.
    virtual void counters_cleared(uint64_t mask) = 0;
    // Settings were written through this program (read back, with the
    // writer named, when the inputs are next sampled): those in written.
    virtual void settings_written(const Settings &written) = 0;
    virtual void watchdog_cleared() = 0;

protected:
    ~Observer() = default;
};

// The settings a module keeps (the watchdog apart): 9 commands.
struct ModuleSettings {
    uint64_t power_on = 0;
    bool output_inverse = false;
    kdx::Module::Safety safety{};
    uint16_t filter = 0;
    bool input_inverse = false;
    uint8_t edge = 0;
    bool write_protect = false;
    uint8_t frame_rate_factor = 0;
    std::string nickname;
    bool operator==(const ModuleSettings &other) const;
};
ModuleSettings read_settings(kdx::Module &module);

// Everything a module shows, at one moment: 12 commands under its lock.
struct Snapshot {
    kdx7400_module_info info{}; // firmware, watchdog time-out, inputs, counts
    uint64_t outputs = 0;
    std::vector<uint32_t> counters;
    ModuleSettings settings;
};
Snapshot snapshot(kdx::Module &module);

// A request refused before anything was written.
struct Refusal {
    enum class Kind { value, write_protected } kind = Kind::value;
    std::string text;
};

// A record of settings, as a client gave them (numbers unnarrowed, flags
// 0 or 1), so that the library checks what was asked, not a cut of it.
struct Settings {
    std::optional<uint64_t> filter, input_inverse, edge, output_inverse, power_on, watchdog_timeout, write_protect,
        frame_rate_factor;
    std::optional<kdx::Module::Safety> safety;
    std::optional<std::string> nickname;
};
// "filter=10 edge=1 nickname=\"Press 4\"": the settings the record
// holds, or with known those same keys as the module had them. Allocates
// nothing.
using SettingsText = FixedText<512>;
void describe(const Settings &keys, const ModuleSettings *known, uint32_t known_watchdog_ms, SettingsText &out);

// Checks the record whole, then writes it: write protection off first and
// on last (a record is not refused by its own protection), the others in
// register order. A watchdog time-out of 0 turns it off. A nickname the
// module's write protection would silently drop is refused instead.
std::optional<Refusal> change_settings(kdx::Module &module, Observer &observer, const Settings &settings);

// Sets the outputs in mask to value and leaves the others: one write when
// mask covers every output, else one masked write. The outputs it left.
std::variant<uint64_t, Refusal> update_outputs(kdx::Module &module, Observer &observer, uint64_t mask, uint64_t value);

// Flips the outputs in mask and leaves the others, in one locked read and
// write. The outputs it left.
std::variant<uint64_t, Refusal> toggle_outputs(kdx::Module &module, Observer &observer, uint64_t mask);

std::optional<Refusal> clear_counters(kdx::Module &module, Observer &observer, uint64_t mask);
void clear_watchdog(kdx::Module &module, Observer &observer);

} // namespace kdxd::service
