// SPDX-License-Identifier: MIT
// kdx::Module, one open module, and kdx::ModuleLock, a hold on it. Every
// operation is written once, taking std::error_code&; the throwing form is
// made from it by act or value_or_throw. Part of kdx7400.hpp.
#pragma once

#include "error.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kdx {

// Channel counts read when the module was opened.
struct ChannelCounts {
    uint8_t di = 0, do_ = 0, ai = 0, ao = 0, pi = 0, po = 0;
};

// A module held by one thread: see Module::lock(). Move-only; releases the
// module when destroyed or on unlock().
class ModuleLock {
public:
    ModuleLock() noexcept = default;
    explicit ModuleLock(int32_t index) noexcept : index_(index) {}
    ModuleLock(const ModuleLock &) = delete;
    ModuleLock &operator=(const ModuleLock &) = delete;
    ModuleLock(ModuleLock &&other) noexcept : index_(std::exchange(other.index_, -1)) {}
    ModuleLock &operator=(ModuleLock &&other) noexcept {
        if (this != &other) {
            unlock();
            index_ = std::exchange(other.index_, -1);
        }
        return *this;
    }
    ~ModuleLock() { unlock(); }
    explicit operator bool() const noexcept { return index_ >= 0; }
    void unlock() noexcept {
        if (index_ >= 0) {
            KDX7400_UnlockDevice(std::exchange(index_, -1));
        }
    }

private:
    int32_t index_ = -1;
};

// One open module, of the process that opened it: a copy inherited across
// fork() answers errc::not_open, whatever the child has opened since, and
// its destructor closes nothing of the child's.
class Module {
public:
    Module() noexcept = default;
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;
    Module(Module &&other) noexcept { take(other); }
    Module &operator=(Module &&other) noexcept {
        if (this != &other) {
            std::error_code ignored;
            close(ignored);
            take(other);
        }
        return *this;
    }
    ~Module() {
        std::error_code ignored;
        close(ignored);
    }

    // Opens by USB product ID and board ID (0-15).
    static Module open(uint16_t product_id, uint8_t board_id, std::error_code &code) noexcept {
        return adopt(KDX7400_OpenDevice(product_id, board_id), code);
    }
    static Module open(uint16_t product_id, uint8_t board_id) {
        std::error_code code;
        Module module = open(product_id, board_id, code);
        detail::throw_if(code, "open module");
        return module;
    }
    // Opens the module on one sg node ("/dev/sg2" or "sg2").
    static Module open_node(const std::string &node, std::error_code &code) noexcept {
        return adopt(KDX7400_OpenDevicePath(node.c_str()), code);
    }
    static Module open_node(const std::string &node) {
        std::error_code code;
        Module module = open_node(node, code);
        detail::throw_if(code, "open module node");
        return module;
    }

    // False also for a module inherited from a parent process.
    explicit operator bool() const noexcept {
        const int32_t index = index_;
        return index >= 0 && KDX7400_CheckDeviceGeneration(index, generation_) == RESULT_OK;
    }
    // The C device index, for calls this API does not wrap.
    int32_t index() const {
        require_open();
        return index_;
    }
    const ChannelCounts &counts() const {
        require_open();
        return counts_;
    }

    // When a call on another thread holds the module past the time-out,
    // the code is errc::busy and the module stays open: close again later.
    void close(std::error_code &code) noexcept {
        code.clear();
        int32_t index = index_.load();
        if (index < 0) {
            return;
        }
        // Kept while the library waits for a thread that holds the module,
        // so that the holder (and everyone else) goes on using it; let go
        // only once it is closed. A close refused as busy keeps it ours.
        // Only our own open: after a fork the index may name the child's.
        code = detail::result_code(KDX7400_CloseDeviceGeneration(index, generation_));
        if (code != errc::busy) {
            index_.compare_exchange_strong(index, -1);
        }
    }
    void close() {
        std::error_code code;
        close(code);
        throw_if(code, "close module");
    }

    // Holds the module for this thread until the ModuleLock goes: no other
    // thread, and no other process's write, reaches it in between, so that
    // a read, a decision and a write are one step. Other threads wait (up
    // to 5 s, then errc::busy). Nests with every call of this thread.
    [[nodiscard]] ModuleLock lock(std::error_code &code) const noexcept {
        code = run([&] { return KDX7400_LockDevice(index_); });
        return code ? ModuleLock() : ModuleLock(index_);
    }
    [[nodiscard]] ModuleLock lock() const {
        return value_or_throw<ModuleLock>("lock module", [&](auto &c) { return lock(c); });
    }

    std::string node(std::error_code &code) const noexcept {
        char path[64] = {};
        code = run([&] { return KDX7400_GetDeviceNode(index_, path, sizeof path); });
        return code ? std::string() : std::string(path);
    }
    std::string node() const { return value_or_throw<std::string>("get node", [&](auto &c) { return node(c); }); }

    // ---- outputs ---------------------------------------------------------
    // Masks with bits beyond the output count are refused (invalid_param).
    void write_outputs(uint64_t mask, std::error_code &code) noexcept {
        code = checked_mask(mask, KDX7400_OUTPUTS, [&] { return KDX7400_DO_WriteValue(index_, mask); });
    }
    void write_outputs(uint64_t mask) { act("write outputs", [&](auto &c) { write_outputs(mask, c); }); }

    uint64_t read_outputs(std::error_code &code) const noexcept {
        uint64_t mask = 0;
        code = run([&] { return KDX7400_DO_ReadValue(index_, &mask); });
        return mask;
    }
    uint64_t read_outputs() const {
        return value_or_throw<uint64_t>("read outputs", [&](auto &c) { return read_outputs(c); });
    }

    // One output; a channel beyond the output count is refused.
    void write_output(uint8_t channel, bool on, std::error_code &code) noexcept {
        code = checked_channel(channel, KDX7400_OUTPUTS,
                               [&] { return KDX7400_DO_WriteChannel(index_, channel, on ? 1 : 0); });
    }
    void write_output(uint8_t channel, bool on) {
        act("write output", [&](auto &c) { write_output(channel, on, c); });
    }

    // The outputs selected by mask take their bits in value; the others
    // stay. One read and one write, atomic against every other user.
    // Returns the outputs it left (what it wrote; no further read).
    uint64_t update_outputs(uint64_t mask, uint64_t value, std::error_code &code) noexcept {
        uint64_t outputs = 0;
        code = run([&] { return KDX7400_DO_UpdateValue(index_, mask, value, &outputs); });
        return outputs;
    }
    uint64_t update_outputs(uint64_t mask, uint64_t value) {
        return value_or_throw<uint64_t>("update outputs", [&](auto &c) { return update_outputs(mask, value, c); });
    }

    // Flips the outputs selected by mask (a byte, say) and leaves the
    // others, atomic against every other user. Returns the outputs it left.
    uint64_t toggle_outputs(uint64_t mask, std::error_code &code) noexcept {
        uint64_t outputs = 0;
        code = run([&] { return KDX7400_DO_ToggleValue(index_, mask, &outputs); });
        return outputs;
    }
    uint64_t toggle_outputs(uint64_t mask) {
        return value_or_throw<uint64_t>("toggle outputs", [&](auto &c) { return toggle_outputs(mask, c); });
    }

    // Several outputs at once (any range of channel numbers): one masked
    // write, however many channels.
    template <class Channels>
    void switch_outputs(const Channels &channels, bool on, std::error_code &code) noexcept {
        uint64_t change = 0;
        for (const auto channel : channels) {
            code = run([&] { return KDX7400_CheckChannel(index_, KDX7400_OUTPUTS, static_cast<uint32_t>(channel)); });
            if (code) {
                return;
            }
            change |= uint64_t{1} << channel;
        }
        update_outputs(change, on ? change : 0, code);
    }
    template <class Channels> void switch_outputs(const Channels &channels, bool on) {
        act("switch outputs", [&](auto &c) { switch_outputs(channels, on, c); });
    }
    void switch_outputs(std::initializer_list<uint8_t> channels, bool on, std::error_code &code) noexcept {
        switch_outputs<std::initializer_list<uint8_t>>(channels, on, code);
    }
    void switch_outputs(std::initializer_list<uint8_t> channels, bool on) {
        switch_outputs<std::initializer_list<uint8_t>>(channels, on);
    }

    void set_power_on(uint64_t mask, std::error_code &code) noexcept {
        code = checked_mask(mask, KDX7400_OUTPUTS, [&] { return KDX7400_DO_SetPowerOnEnable(index_, mask); });
    }
    void set_power_on(uint64_t mask) { act("set power-on outputs", [&](auto &c) { set_power_on(mask, c); }); }
    void set_power_on(uint8_t channel, bool on, std::error_code &code) noexcept {
        code = checked_channel(channel, KDX7400_OUTPUTS, [&] {
            return KDX7400_DO_SetPowerOnEnableToChannel(index_, channel, on ? 1 : 0);
        });
    }
    void set_power_on(uint8_t channel, bool on) {
        act("set power-on output", [&](auto &c) { set_power_on(channel, on, c); });
    }
    uint64_t power_on(std::error_code &code) const noexcept {
        uint64_t mask = 0;
        code = run([&] { return KDX7400_DO_GetPowerOnEnable(index_, &mask); });
        return mask;
    }
    uint64_t power_on() const {
        return value_or_throw<uint64_t>("get power-on outputs", [&](auto &c) { return power_on(c); });
    }

    void set_output_inverse(bool inverse, std::error_code &code) noexcept {
        code = run([&] { return KDX7400_DO_SetInverse(index_, inverse ? 1 : 0); });
    }
    void set_output_inverse(bool inverse) {
        act("set output inversion", [&](auto &c) { set_output_inverse(inverse, c); });
    }
    uint8_t output_inverse(std::error_code &code) const noexcept {
        uint8_t value = 0;
        code = run([&] { return KDX7400_DO_GetInverse(index_, &value); });
        return value;
    }
    uint8_t output_inverse() const {
        return value_or_throw<uint8_t>("get output inversion", [&](auto &c) { return output_inverse(c); });
    }

    // The two safety masks: which outputs take a safety value when the
    // watchdog expires, and those values.
    struct Safety {
        uint64_t outputs = 0, values = 0;
    };
    void set_safety(Safety safety, std::error_code &code) noexcept {
        code = checked_mask(safety.outputs | safety.values, KDX7400_OUTPUTS, [&] {
            return KDX7400_DO_SetSafetyEnable(index_, safety.outputs, safety.values);
        });
    }
    void set_safety(Safety safety) { act("set safety masks", [&](auto &c) { set_safety(safety, c); }); }
    void set_safety(uint8_t channel, bool output, bool value, std::error_code &code) noexcept {
        code = checked_channel(channel, KDX7400_OUTPUTS, [&] {
            return KDX7400_DO_SetSafetyEnableChannel(index_, channel, output ? 1 : 0, value ? 1 : 0);
        });
    }
    void set_safety(uint8_t channel, bool output, bool value) {
        act("set safety channel", [&](auto &c) { set_safety(channel, output, value, c); });
    }
    Safety safety(std::error_code &code) const noexcept {
        Safety s;
        code = run([&] { return KDX7400_DO_GetSafetyEnable(index_, &s.outputs, &s.values); });
        return s;
    }
    Safety safety() const { return value_or_throw<Safety>("get safety masks", [&](auto &c) { return safety(c); }); }

    // ---- inputs and counters ---------------------------------------------
    uint64_t read_inputs(std::error_code &code) const noexcept {
        uint64_t value = 0;
        code = run([&] { return KDX7400_DI_ReadValue(index_, &value); });
        return value;
    }
    uint64_t read_inputs() const {
        return value_or_throw<uint64_t>("read inputs", [&](auto &c) { return read_inputs(c); });
    }
    bool read_input(uint8_t channel, std::error_code &code) const noexcept {
        uint8_t state = 0;
        code = run([&] { return KDX7400_DI_ReadChannel(index_, channel, &state); });
        return state != 0;
    }
    bool read_input(uint8_t channel) const {
        return value_or_throw<bool>("read input", [&](auto &c) { return read_input(channel, c); });
    }

    void set_input_filter(uint16_t filter, std::error_code &code) noexcept {
        code = run([&] { return KDX7400_DI_SetFilter(index_, filter); });
    }
    void set_input_filter(uint16_t filter) { act("set input filter", [&](auto &c) { set_input_filter(filter, c); }); }
    uint16_t input_filter(std::error_code &code) const noexcept {
        uint16_t value = 0;
        code = run([&] { return KDX7400_DI_GetFilter(index_, &value); });
        return value;
    }
    uint16_t input_filter() const {
        return value_or_throw<uint16_t>("get input filter", [&](auto &c) { return input_filter(c); });
    }
    void set_input_inverse(bool inverse, std::error_code &code) noexcept {
        code = run([&] { return KDX7400_DI_SetInverse(index_, inverse ? 1 : 0); });
    }
    void set_input_inverse(bool inverse) {
        act("set input inversion", [&](auto &c) { set_input_inverse(inverse, c); });
    }
    uint8_t input_inverse(std::error_code &code) const noexcept {
        uint8_t value = 0;
        code = run([&] { return KDX7400_DI_GetInverse(index_, &value); });
        return value;
    }
    uint8_t input_inverse() const {
        return value_or_throw<uint8_t>("get input inversion", [&](auto &c) { return input_inverse(c); });
    }
    // 0 counts rising edges, 1 falling edges.
    void set_counter_edge(uint8_t edge, std::error_code &code) noexcept {
        code = run([&] { return KDX7400_DI_SetCntEdgeTrigger(index_, edge); });
    }
    void set_counter_edge(uint8_t edge) { act("set counter edge", [&](auto &c) { set_counter_edge(edge, c); }); }
    uint8_t counter_edge(std::error_code &code) const noexcept {
        uint8_t value = 0;
        code = run([&] { return KDX7400_DI_GetCntEdgeTrigger(index_, &value); });
        return value;
    }
    uint8_t counter_edge() const {
        return value_or_throw<uint8_t>("get counter edge", [&](auto &c) { return counter_edge(c); });
    }

    // Every input's counter, one per input.
    std::vector<uint32_t> read_counters(std::error_code &code) const noexcept {
        std::array<uint32_t, KDX7400_MAX_CHANNELS> values{};
        code = run([&] { return KDX7400_DI_ReadCounterValue(index_, values.data(), counts_.di); });
        if (code) {
            return {};
        }
        try {
            // The library refused a module of more inputs than values holds.
            return std::vector<uint32_t>(values.begin(), values.begin() + counts_.di);
        } catch (const std::bad_alloc &) {
            code = std::make_error_code(std::errc::not_enough_memory);
            return {};
        }
    }
    std::vector<uint32_t> read_counters() const {
        return value_or_throw<std::vector<uint32_t>>("read counters", [&](auto &c) { return read_counters(c); });
    }
    uint32_t read_counter(uint8_t channel, std::error_code &code) const noexcept {
        uint32_t value = 0;
        code = run([&] { return KDX7400_DI_ReadChannelCounter(index_, channel, &value); });
        return value;
    }
    uint32_t read_counter(uint8_t channel) const {
        return value_or_throw<uint32_t>("read counter", [&](auto &c) { return read_counter(channel, c); });
    }
    // Clears the counters of the mask's bits; bits beyond the input count
    // are refused.
    void clear_counters(uint64_t mask, std::error_code &code) noexcept {
        code = checked_mask(mask, KDX7400_INPUTS, [&] { return KDX7400_DI_ClearCounter(index_, mask); });
    }
    void clear_counters(uint64_t mask) { act("clear counters", [&](auto &c) { clear_counters(mask, c); }); }
    void clear_counter(uint8_t channel, std::error_code &code) noexcept {
        code = checked_channel(channel, KDX7400_INPUTS, [&] { return KDX7400_DI_ClearCounterChannel(index_, channel); });
    }
    void clear_counter(uint8_t channel) { act("clear counter", [&](auto &c) { clear_counter(channel, c); }); }

    // The inputs against a previous sample (KDX7400_DI_Sample): changes,
    // counted edges, and pulses the levels hid. InputWatcher does this on
    // a thread of its own.
    void sample(kdx7400_input_state &state, kdx7400_input_events &events, std::error_code &code) const noexcept {
        code = run([&] { return KDX7400_DI_Sample(index_, &state, &events); });
    }
    // The same, with the inputs whose counter was cleared since (by anyone).
    void sample(kdx7400_input_state &state, kdx7400_input_events &events, uint64_t &cleared,
                std::error_code &code) const noexcept {
        code = run([&] { return KDX7400_DI_SampleClears(index_, &state, &events, &cleared); });
    }
    // The state a first sample starts from (KDX7400_DI_BeginSampling).
    kdx7400_input_state begin_sampling(std::error_code &code) const noexcept {
        kdx7400_input_state state{};
        code = run([&] { return KDX7400_DI_BeginSampling(index_, &state); });
        return state;
    }

    // ---- identity, settings, commands, watchdog --------------------------
    // Firmware, watchdog time-out, inputs and counts in one command.
    kdx7400_module_info info(std::error_code &code) const noexcept {
        kdx7400_module_info value{};
        code = run([&] { return KDX7400_ReadModuleInfo(index_, &value); });
        return value;
    }
    kdx7400_module_info info() const {
        return value_or_throw<kdx7400_module_info>("read module info", [&](auto &c) { return info(c); });
    }
    uint16_t firmware_version(std::error_code &code) const noexcept {
        uint16_t value = 0;
        code = run([&] { return KDX7400_GetFwVer(index_, &value); });
        return value;
    }
    uint16_t firmware_version() const {
        return value_or_throw<uint16_t>("get firmware version", [&](auto &c) { return firmware_version(c); });
    }
    std::string firmware_date(std::error_code &code) const noexcept {
        char date[11] = {};
        code = run([&] { return KDX7400_GetFwDate(index_, date); });
        return code ? std::string() : std::string(date);
    }
    std::string firmware_date() const {
        return value_or_throw<std::string>("get firmware date", [&](auto &c) { return firmware_date(c); });
    }
    // At most 32 bytes; a longer name is refused rather than cut.
    void set_nickname(const std::string &name, std::error_code &code) noexcept {
        code = run([&] {
            const int16_t fits = KDX7400_CheckSetting(index_, KDX7400_SETTING_NICKNAME_BYTES, name.size());
            return fits != RESULT_OK ? fits : KDX7400_SetDeviceNickName(index_, name.c_str());
        });
    }
    void set_nickname(const std::string &name) { act("set nickname", [&](auto &c) { set_nickname(name, c); }); }
    std::string nickname(std::error_code &code) const noexcept {
        char name[33] = {};
        code = run([&] { return KDX7400_GetDeviceNickName(index_, name); });
        return code ? std::string() : std::string(name);
    }
    std::string nickname() const {
        return value_or_throw<std::string>("get nickname", [&](auto &c) { return nickname(c); });
    }
    void set_write_protect(bool protect, std::error_code &code) noexcept {
        code = run([&] { return KDX7400_SetWriteProtect(index_, protect ? 1 : 0); });
    }
    void set_write_protect(bool protect) {
        act("set write protection", [&](auto &c) { set_write_protect(protect, c); });
    }
    uint8_t write_protect(std::error_code &code) const noexcept {
        uint8_t value = 0;
        code = run([&] { return KDX7400_GetWriteProtect(index_, &value); });
        return value;
    }
    uint8_t write_protect() const {
        return value_or_throw<uint8_t>("get write protection", [&](auto &c) { return write_protect(c); });
    }
    void set_frame_rate_factor(uint8_t factor, std::error_code &code) noexcept {
        code = run([&] { return KDX7400_SetFrameRateFactor(index_, factor); });
    }
    void set_frame_rate_factor(uint8_t factor) {
        act("set frame-rate factor", [&](auto &c) { set_frame_rate_factor(factor, c); });
    }
    uint8_t frame_rate_factor(std::error_code &code) const noexcept {
        uint8_t value = 0;
        code = run([&] { return KDX7400_GetFrameRateFactor(index_, &value); });
        return value;
    }
    uint8_t frame_rate_factor() const {
        return value_or_throw<uint8_t>("get frame-rate factor", [&](auto &c) { return frame_rate_factor(c); });
    }
    void set_opcode(uint8_t opcode, std::error_code &code) noexcept {
        code = run([&] { return setopcode(index_, opcode); });
    }
    void set_opcode(uint8_t opcode) { act("set opcode", [&](auto &c) { set_opcode(opcode, c); }); }
    uint8_t opcode(std::error_code &code) const noexcept {
        uint8_t value = 0;
        code = run([&] { return getopcode(index_, &value); });
        return value;
    }
    uint8_t opcode() const { return value_or_throw<uint8_t>("get opcode", [&](auto &c) { return opcode(c); }); }

    void load_defaults(std::error_code &code) noexcept { code = run([&] { return KDX7400_LoadDefault(index_); }); }
    void load_defaults() { act("load defaults", [&](auto &c) { load_defaults(c); }); }
    void sync(std::error_code &code) noexcept { code = run([&] { return KDX7400_SYNCDevice(index_); }); }
    void sync() { act("sync", [&](auto &c) { sync(c); }); }
    void reset(std::error_code &code) noexcept { code = run([&] { return KDX7400_ForceReset(index_); }); }
    void reset() { act("reset", [&](auto &c) { reset(c); }); }

    // Watchdog timeout in milliseconds, 100 to 1800000.
    void set_watchdog_timeout(uint32_t ms, std::error_code &code) noexcept {
        code = run([&] { return KDX7400_SetSoftWDTTimeout(index_, ms); });
    }
    void set_watchdog_timeout(uint32_t ms) {
        act("set watchdog timeout", [&](auto &c) { set_watchdog_timeout(ms, c); });
    }
    uint32_t watchdog_timeout(std::error_code &code) const noexcept {
        uint32_t value = 0;
        code = run([&] { return KDX7400_GetSoftWDTTimeout(index_, &value); });
        return value;
    }
    uint32_t watchdog_timeout() const {
        return value_or_throw<uint32_t>("get watchdog timeout", [&](auto &c) { return watchdog_timeout(c); });
    }
    void clear_watchdog_error(std::error_code &code) noexcept {
        code = run([&] { return KDX7400_ClearWDTErrLED(index_); });
    }
    void clear_watchdog_error() { act("clear watchdog error", [&](auto &c) { clear_watchdog_error(c); }); }
    // Timeout 0, the module's default: the watchdog no longer expires.
    void disable_watchdog(std::error_code &code) noexcept {
        code = run([&] { return KDX7400_DisableSoftWDT(index_); });
    }
    void disable_watchdog() { act("disable watchdog", [&](auto &c) { disable_watchdog(c); }); }
    // The watchdog as a setting: a timeout arms it, 0 turns it off.
    void set_watchdog(uint32_t timeout_ms, std::error_code &code) noexcept {
        code = run([&] { return KDX7400_SetWatchdog(index_, timeout_ms); });
    }
    void set_watchdog(uint32_t timeout_ms) { act("set watchdog", [&](auto &c) { set_watchdog(timeout_ms, c); }); }

private:
    static Module adopt(int32_t result, std::error_code &code) noexcept {
        Module module;
        if (result < 0) {
            code = detail::open_code(result);
            return module;
        }
        module.index_ = result;
        KDX7400_GetDeviceGeneration(result, &module.generation_);
        ChannelCounts &n = module.counts_;
        KDX7400_GetDITotal(result, &n.di);
        KDX7400_GetDOTotal(result, &n.do_);
        KDX7400_GetAITotal(result, &n.ai);
        KDX7400_GetAOTotal(result, &n.ao);
        KDX7400_GetPITotal(result, &n.pi);
        KDX7400_GetPOTotal(result, &n.po);
        code.clear();
        return module;
    }

    void take(Module &other) noexcept {
        generation_ = other.generation_;
        index_.store(other.index_.exchange(-1));
        counts_ = other.counts_;
    }

    void require_open() const {
        if (index_ < 0) {
            throw std::logic_error("kdx::Module used after close or move");
        }
    }

    // An index inherited from a parent, or kept past its close, is not ours.
    template <class Call> std::error_code run(Call call) const noexcept {
        const int32_t index = index_;
        if (index < 0 || KDX7400_CheckDeviceGeneration(index, generation_) != RESULT_OK) {
            return make_error_code(errc::not_open);
        }
        return detail::result_code(call());
    }

    template <class Call> std::error_code checked_channel(uint8_t channel, uint8_t family, Call call) const noexcept {
        const std::error_code code = run([&] { return KDX7400_CheckChannel(index_, family, channel); });
        return code ? code : run(call);
    }

    template <class Call> std::error_code checked_mask(uint64_t mask, uint8_t family, Call call) const noexcept {
        const std::error_code code = run([&] { return KDX7400_CheckMask(index_, family, mask); });
        return code ? code : run(call);
    }

    template <class Body> void act(const char *operation, Body body) {
        require_open();
        std::error_code code;
        body(code);
        throw_if(code, operation);
    }

    template <class T, class Body> T value_or_throw(const char *operation, Body body) const {
        require_open();
        std::error_code code;
        T value = body(code);
        throw_if(code, operation);
        return value;
    }

    // A busy module's message names who held it, when the library can tell.
    void throw_if(const std::error_code &code, const char *operation) const {
        if (code != errc::busy) {
            detail::throw_if(code, operation);
            return;
        }
        char holder[48];
        int32_t pid = 0;
        if (KDX7400_GetDeviceHolder(index_, &pid, holder, sizeof holder) != RESULT_OK || pid == 0) {
            detail::throw_if(code, operation);
        }
        throw Error(code, std::string(operation) + " (held by " + holder + ")");
    }

    std::atomic<int32_t> index_{-1};
    uint64_t generation_ = 0;
    ChannelCounts counts_;
};


} // namespace kdx
