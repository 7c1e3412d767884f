// SPDX-License-Identifier: MIT
#include "core/service.h"

#include <algorithm>

namespace kdxd::service {

namespace {

// Well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF) without C0 controls or DEL.
bool is_utf8_text(const std::string &text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F) return false;
            ++i;
            continue;
        }
        std::size_t length = 0;
        uint32_t point = 0, lowest = 0;
        if ((byte & 0xE0) == 0xC0) { length = 2; point = byte & 0x1F; lowest = 0x80; }
        else if ((byte & 0xF0) == 0xE0) { length = 3; point = byte & 0x0F; lowest = 0x800; }
        else if ((byte & 0xF8) == 0xF0) { length = 4; point = byte & 0x07; lowest = 0x10000; }
        else return false;
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        if (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

std::optional<Refusal> refused_unless(const kdx::Module &module, int32_t setting, uint64_t value, const char *what) {
    if (KDX7400_CheckSetting(module.index(), setting, value) == RESULT_OK) {
        return std::nullopt;
    }
    return Refusal{Refusal::Kind::value, what};
}

uint64_t all_outputs(const kdx::Module &module) {
    const unsigned n = std::min<unsigned>(module.counts().do_, KDX7400_MAX_CHANNELS);
    return n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

} // namespace

bool ModuleSettings::operator==(const ModuleSettings &o) const {
    return power_on == o.power_on && output_inverse == o.output_inverse && safety.outputs == o.safety.outputs &&
           safety.values == o.safety.values && filter == o.filter && input_inverse == o.input_inverse &&
           edge == o.edge && write_protect == o.write_protect && frame_rate_factor == o.frame_rate_factor &&
           nickname == o.nickname;
}

ModuleSettings read_settings(kdx::Module &m) {
    const kdx::ModuleLock held = m.lock();
    ModuleSettings s;
    s.power_on = m.power_on();
    s.output_inverse = m.output_inverse() != 0;
    s.safety = m.safety();
    s.filter = m.input_filter();
    s.input_inverse = m.input_inverse() != 0;
    s.edge = m.counter_edge();
    s.write_protect = m.write_protect() != 0;
    s.frame_rate_factor = m.frame_rate_factor();
    s.nickname = m.nickname();
    return s;
}

Snapshot snapshot(kdx::Module &m) {
    const kdx::ModuleLock held = m.lock();
    Snapshot s;
    s.info = m.info(); // inputs and the watchdog with the firmware: one read
    s.outputs = m.read_outputs();
    s.settings = read_settings(m);
    s.counters = m.read_counters();
    return s;
}

std::optional<Refusal> change_settings(kdx::Module &m, Observer &observer, const Settings &r) {
    const kdx::ModuleLock held = m.lock();
    struct Check {
        const std::optional<uint64_t> &value;
        int32_t setting;
        const char *what;
    };
    const Check checks[] = {
        {r.filter, KDX7400_SETTING_FILTER, "filter is 0 to 65535"},
        {r.input_inverse, KDX7400_SETTING_INPUT_INVERSE, "input_inverse is true or false"},
        {r.edge, KDX7400_SETTING_COUNTER_EDGE, "edge is 0 (rising) or 1 (falling)"},
        {r.output_inverse, KDX7400_SETTING_OUTPUT_INVERSE, "output_inverse is true or false"},
        {r.power_on, KDX7400_SETTING_POWER_ON, "power_on names outputs the module lacks"},
        {r.watchdog_timeout, KDX7400_SETTING_WATCHDOG, "watchdog_timeout is 100 to 1800000 ms, or 0 for off"},
        {r.write_protect, KDX7400_SETTING_WRITE_PROTECT, "write_protect is true or false"},
        {r.frame_rate_factor, KDX7400_SETTING_FRAME_RATE, "frame_rate_factor is 0 to 255"},
    };
    for (const Check &check : checks) {
        if (check.value) {
            if (auto refusal = refused_unless(m, check.setting, *check.value, check.what)) return refusal;
        }
    }
    if (r.safety) {
        if (auto refusal = refused_unless(m, KDX7400_SETTING_SAFETY_MASK, r.safety->outputs | r.safety->values,
                                          "safety is {first, second}, masks of outputs the module has")) {
            return refusal;
        }
    }
    if (r.nickname) {
        if (auto refusal = refused_unless(m, KDX7400_SETTING_NICKNAME_BYTES, r.nickname->size(),
                                          "nickname is a string of at most 32 bytes")) {
            return refusal;
        }
        // Every front end shows it as text: it must read back as written.
        if (!is_utf8_text(*r.nickname)) {
            return Refusal{Refusal::Kind::value, "nickname is UTF-8 text without NUL or control characters"};
        }
        // Under write protection the module keeps its name and says nothing.
        const bool protected_then = r.write_protect ? false : m.write_protect() != 0;
        if (protected_then) {
            return Refusal{Refusal::Kind::write_protected,
                           "the module is write-protected: its nickname cannot change (turn write_protect off)"};
        }
    }
    const bool protect_last = r.write_protect && *r.write_protect != 0;
    if (r.write_protect && !protect_last) m.set_write_protect(false);
    if (r.filter) m.set_input_filter(static_cast<uint16_t>(*r.filter));
    if (r.input_inverse) m.set_input_inverse(*r.input_inverse != 0);
    if (r.edge) m.set_counter_edge(static_cast<uint8_t>(*r.edge));
    if (r.output_inverse) m.set_output_inverse(*r.output_inverse != 0);
    if (r.power_on) m.set_power_on(*r.power_on);
    if (r.watchdog_timeout) {
        m.set_watchdog(static_cast<uint32_t>(*r.watchdog_timeout));
        observer.watchdog_is(static_cast<uint32_t>(*r.watchdog_timeout));
    }
    if (r.frame_rate_factor) m.set_frame_rate_factor(static_cast<uint8_t>(*r.frame_rate_factor));
    if (r.safety) m.set_safety(*r.safety);
    if (r.nickname) {
        m.set_nickname(*r.nickname);
        observer.renamed(*r.nickname);
    }
    if (protect_last) m.set_write_protect(true);
    observer.settings_written(r);
    return std::nullopt;
}

std::variant<uint64_t, Refusal> update_outputs(kdx::Module &m, Observer &observer, uint64_t mask, uint64_t value) {
    if (KDX7400_CheckMask(m.index(), KDX7400_OUTPUTS, mask | value) != RESULT_OK) {
        return Refusal{Refusal::Kind::value, "the mask names outputs the module lacks"};
    }
    value &= mask;
    uint64_t outputs = 0;
    if (mask == all_outputs(m)) {
        m.write_outputs(value); // nothing to keep: no read
        outputs = value;
    } else {
        outputs = m.update_outputs(mask, value);
    }
    observer.outputs_are(outputs, true);
    return outputs;
}

std::variant<uint64_t, Refusal> toggle_outputs(kdx::Module &m, Observer &observer, uint64_t mask) {
    if (KDX7400_CheckMask(m.index(), KDX7400_OUTPUTS, mask) != RESULT_OK) {
        return Refusal{Refusal::Kind::value, "the mask names outputs the module lacks"};
    }
    const uint64_t outputs = m.toggle_outputs(mask);
    observer.outputs_are(outputs, true);
    return outputs;
}

std::optional<Refusal> clear_counters(kdx::Module &m, Observer &observer, uint64_t mask) {
    if (KDX7400_CheckMask(m.index(), KDX7400_INPUTS, mask) != RESULT_OK) {
        return Refusal{Refusal::Kind::value, "the mask names inputs the module lacks"};
    }
    m.clear_counters(mask);
    observer.counters_cleared(mask);
    return std::nullopt;
}

void clear_watchdog(kdx::Module &m, Observer &observer) {
    m.clear_watchdog_error();
    observer.watchdog_cleared();
}

void describe(const Settings &keys, const ModuleSettings *known, uint32_t known_watchdog_ms, SettingsText &out) {
    const auto key = [&out](const char *name) -> SettingsText & {
        if (!out.view().empty()) out << " ";
        return out << name << "=";
    };
    const auto flag = [](bool on) { return on ? 1ull : 0ull; };
    if (keys.filter) key("filter") << (known ? known->filter : *keys.filter);
    if (keys.input_inverse) key("input_inverse") << (known ? flag(known->input_inverse) : *keys.input_inverse);
    if (keys.edge) key("edge") << (known ? known->edge : *keys.edge);
    if (keys.output_inverse) key("output_inverse") << (known ? flag(known->output_inverse) : *keys.output_inverse);
    if (keys.power_on) key("power_on").hex(known ? known->power_on : *keys.power_on);
    if (keys.watchdog_timeout) key("watchdog_timeout") << (known ? known_watchdog_ms : *keys.watchdog_timeout);
    if (keys.write_protect) key("write_protect") << (known ? flag(known->write_protect) : *keys.write_protect);
    if (keys.frame_rate_factor) key("frame_rate_factor") << (known ? known->frame_rate_factor : *keys.frame_rate_factor);
    if (keys.safety) {
        const kdx::Module::Safety &safety = known ? known->safety : *keys.safety;
        key("safety").hex(safety.outputs) << "/";
        out.hex(safety.values);
    }
    if (keys.nickname) key("nickname") << "\"" << (known ? known->nickname : *keys.nickname) << "\"";
}

} // namespace kdxd::service
