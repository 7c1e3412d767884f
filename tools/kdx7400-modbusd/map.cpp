// SPDX-License-Identifier: MIT
#include "map.h"

#include <algorithm>
#include <array>
#include <map>
#include <stdexcept>

namespace modbusd {

namespace {

struct AddressError {};
struct ValueError {};

constexpr uint16_t kPowerOnCoils = 100;
constexpr uint16_t kClearCounterCoils = 1000;
constexpr uint16_t kClearWatchdogCoil = 2000;
constexpr uint16_t kFirmwareVersion = 1000;
constexpr uint16_t kFirmwareDate = 1001;
constexpr uint16_t kCounts = 1010;
constexpr uint16_t kFilter = 0, kInputInverse = 1, kCounterEdge = 2, kOutputInverse = 3,
                   kWatchdogHigh = 4, kWatchdogLow = 5, kWriteProtect = 6, kFrameRate = 7;
constexpr uint16_t kSafetyFirst = 20, kSafetySecond = 24;
constexpr uint16_t kNickname = 100, kNicknameRegisters = 16;

unsigned channels(uint8_t count) { return std::min<unsigned>(count, 64); }

bool within(uint16_t address, uint16_t start, unsigned size) {
    return address >= start && address < start + size;
}

enum class Coil { Output, PowerOn, ClearCounter, ClearWatchdog };

Coil coil(const kdx::ChannelCounts &n, uint16_t address) {
    if (within(address, 0, channels(n.do_))) return Coil::Output;
    if (within(address, kPowerOnCoils, channels(n.do_))) return Coil::PowerOn;
    if (within(address, kClearCounterCoils, channels(n.di))) return Coil::ClearCounter;
    if (address == kClearWatchdogCoil) return Coil::ClearWatchdog;
    throw AddressError{};
}

// Safety masks: 16 channels per register, as many registers as outputs need.
unsigned safety_registers(const kdx::ChannelCounts &n) { return (channels(n.do_) + 15) / 16; }

bool holding(const kdx::ChannelCounts &n, uint16_t address) {
    return address <= kFrameRate || within(address, kSafetyFirst, safety_registers(n)) ||
           within(address, kSafetySecond, safety_registers(n)) ||
           within(address, kNickname, kNicknameRegisters);
}

bool input_register(const kdx::ChannelCounts &n, uint16_t address) {
    return address < 2 * channels(n.di) || address == kFirmwareVersion ||
           within(address, kFirmwareDate, 5) || within(address, kCounts, 6);
}

// A lazily read value: read once per request, at first use.
template <class T> class Once {
public:
    explicit Once(std::function<T()> read) : read_(std::move(read)) {}
    const T &get() {
        if (!value_) {
            value_ = read_();
        }
        return *value_;
    }

private:
    std::function<T()> read_;
    std::optional<T> value_;
};

uint64_t with_bit(uint64_t mask, unsigned bit, bool on) {
    return on ? mask | (uint64_t{1} << bit) : mask & ~(uint64_t{1} << bit);
}

std::vector<uint8_t> read_coils(kdx::Module &m, uint16_t address, uint16_t count) {
    const auto &n = m.counts();
    for (unsigned i = 0; i < count; ++i) {
        coil(n, static_cast<uint16_t>(address + i));
    }
    Once<uint64_t> outputs([&] { return m.read_outputs(); });
    Once<uint64_t> power_on([&] { return m.power_on(); });
    std::vector<uint8_t> bits;
    for (unsigned i = 0; i < count; ++i) {
        const auto a = static_cast<uint16_t>(address + i);
        switch (coil(n, a)) {
        case Coil::Output: bits.push_back((outputs.get() >> a) & 1); break;
        case Coil::PowerOn: bits.push_back((power_on.get() >> (a - kPowerOnCoils)) & 1); break;
        default: bits.push_back(0); break; // command coils read as 0
        }
    }
    return bits;
}

void write_coils(kdx::Module &m, uint16_t address, std::span<const uint16_t> values) {
    const auto &n = m.counts();
    uint64_t outputs_changed = 0, outputs_value = 0;
    std::optional<uint64_t> power_on;
    uint64_t clear = 0;
    bool clear_watchdog = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        coil(n, static_cast<uint16_t>(address + i));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto a = static_cast<uint16_t>(address + i);
        const bool on = values[i] != 0;
        switch (coil(n, a)) {
        case Coil::Output:
            outputs_changed |= uint64_t{1} << a;
            outputs_value = with_bit(outputs_value, a, on);
            break;
        case Coil::PowerOn:
            power_on = with_bit(power_on ? *power_on : m.power_on(), a - kPowerOnCoils, on);
            break;
        case Coil::ClearCounter: clear = with_bit(clear, a - kClearCounterCoils, on); break;
        case Coil::ClearWatchdog: clear_watchdog = clear_watchdog || on; break;
        }
    }
    // Outputs: one masked write, so that nobody else's outputs are undone;
    // the power-on mask: one read and one write inside the request's lock.
    if (outputs_changed != 0) m.update_outputs(outputs_changed, outputs_value);
    if (power_on) m.set_power_on(*power_on);
    if (clear != 0) m.clear_counters(clear);
    if (clear_watchdog) m.clear_watchdog_error();
}

std::vector<uint8_t> read_inputs(kdx::Module &m, uint16_t address, uint16_t count) {
    if (address + count > channels(m.counts().di)) {
        throw AddressError{};
    }
    const uint64_t inputs = m.read_inputs();
    std::vector<uint8_t> bits;
    for (unsigned i = 0; i < count; ++i) {
        bits.push_back((inputs >> (address + i)) & 1);
    }
    return bits;
}

std::vector<uint16_t> read_input_registers(kdx::Module &m, uint16_t address, uint16_t count) {
    const auto &n = m.counts();
    for (unsigned i = 0; i < count; ++i) {
        if (!input_register(n, static_cast<uint16_t>(address + i))) throw AddressError{};
    }
    Once<std::vector<uint32_t>> counters([&] { return m.read_counters(); });
    Once<std::string> date([&] { return m.firmware_date(); });
    const uint8_t counts[] = {n.di, n.do_, n.ai, n.ao, n.pi, n.po};
    std::vector<uint16_t> registers;
    for (unsigned i = 0; i < count; ++i) {
        const auto a = static_cast<uint16_t>(address + i);
        if (a < 2 * channels(n.di)) {
            const uint32_t value = counters.get().at(a / 2);
            registers.push_back(static_cast<uint16_t>(a % 2 == 0 ? value >> 16 : value & 0xFFFF));
        } else if (a == kFirmwareVersion) {
            registers.push_back(m.firmware_version());
        } else if (within(a, kFirmwareDate, 5)) {
            std::string text = date.get();
            text.resize(10, '\0');
            const std::size_t at = 2 * static_cast<std::size_t>(a - kFirmwareDate);
            registers.push_back(static_cast<uint16_t>(static_cast<uint8_t>(text[at]) << 8 |
                                                      static_cast<uint8_t>(text[at + 1])));
        } else {
            registers.push_back(counts[a - kCounts]);
        }
    }
    return registers;
}

uint16_t word_of(uint64_t mask, unsigned word) { return static_cast<uint16_t>(mask >> (16 * word)); }

std::vector<uint16_t> read_holding(kdx::Module &m, uint16_t address, uint16_t count) {
    const auto &n = m.counts();
    for (unsigned i = 0; i < count; ++i) {
        if (!holding(n, static_cast<uint16_t>(address + i))) throw AddressError{};
    }
    Once<uint32_t> timeout([&] { return m.watchdog_timeout(); });
    Once<kdx::Module::Safety> safety([&] { return m.safety(); });
    Once<std::string> nickname([&] { return m.nickname(); });
    std::vector<uint16_t> registers;
    for (unsigned i = 0; i < count; ++i) {
        const auto a = static_cast<uint16_t>(address + i);
        switch (a) {
        case kFilter: registers.push_back(m.input_filter()); continue;
        case kInputInverse: registers.push_back(m.input_inverse()); continue;
        case kCounterEdge: registers.push_back(m.counter_edge()); continue;
        case kOutputInverse: registers.push_back(m.output_inverse()); continue;
        case kWatchdogHigh: registers.push_back(static_cast<uint16_t>(timeout.get() >> 16)); continue;
        case kWatchdogLow: registers.push_back(static_cast<uint16_t>(timeout.get())); continue;
        case kWriteProtect: registers.push_back(m.write_protect()); continue;
        case kFrameRate: registers.push_back(m.frame_rate_factor()); continue;
        default: break;
        }
        if (within(a, kSafetyFirst, 4)) {
            registers.push_back(word_of(safety.get().outputs, a - kSafetyFirst));
        } else if (within(a, kSafetySecond, 4)) {
            registers.push_back(word_of(safety.get().values, a - kSafetySecond));
        } else {
            std::string text = nickname.get();
            text.resize(32, '\0');
            const std::size_t at = 2 * static_cast<std::size_t>(a - kNickname);
            registers.push_back(static_cast<uint16_t>(static_cast<uint8_t>(text[at]) << 8 |
                                                      static_cast<uint8_t>(text[at + 1])));
        }
    }
    return registers;
}

uint64_t with_word(uint64_t mask, unsigned word, uint16_t value) {
    const unsigned shift = 16 * word;
    return (mask & ~(uint64_t{0xFFFF} << shift)) | (uint64_t{value} << shift);
}

// Which outputs exist is the library's rule.
bool mask_fits(const kdx::Module &m, uint64_t mask) {
    return KDX7400_CheckMask(m.index(), KDX7400_OUTPUTS, mask) == RESULT_OK;
}

// Every value is worked out and checked before the first write, so that a
// refused request (IllegalValue) has changed nothing on the module.
void write_holding(kdx::Module &m, uint16_t address, std::span<const uint16_t> values) {
    const auto &n = m.counts();
    std::map<uint16_t, uint16_t> written;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto a = static_cast<uint16_t>(address + i);
        if (!holding(n, a)) throw AddressError{};
        written[a] = values[i];
    }
    const auto has = [&](uint16_t a) { return written.count(a) != 0; };
    const auto any_within = [&](uint16_t start, unsigned size) {
        return std::any_of(written.begin(), written.end(), [&](const auto &w) { return within(w.first, start, size); });
    };
    for (const auto &[a, v] : written) {
        const bool flag = a == kInputInverse || a == kCounterEdge || a == kOutputInverse || a == kWriteProtect;
        if ((flag && v > 1) || (a == kFrameRate && v > 255)) throw ValueError{};
    }
    std::optional<uint32_t> timeout;
    if (has(kWatchdogHigh) || has(kWatchdogLow)) {
        const uint32_t current = has(kWatchdogHigh) && has(kWatchdogLow) ? 0 : m.watchdog_timeout();
        const uint32_t high = has(kWatchdogHigh) ? written[kWatchdogHigh] : current >> 16;
        const uint32_t low = has(kWatchdogLow) ? written[kWatchdogLow] : current & 0xFFFF;
        timeout = high << 16 | low;
        if (*timeout < KDX7400_WDT_TIMEOUT_MIN || *timeout > KDX7400_WDT_TIMEOUT_MAX) throw ValueError{};
    }
    std::optional<kdx::Module::Safety> safety;
    if (any_within(kSafetyFirst, 8)) {
        safety = m.safety();
        for (const auto &[a, v] : written) {
            if (within(a, kSafetyFirst, 4)) safety->outputs = with_word(safety->outputs, a - kSafetyFirst, v);
            if (within(a, kSafetySecond, 4)) safety->values = with_word(safety->values, a - kSafetySecond, v);
        }
        if (!mask_fits(m, safety->outputs | safety->values)) throw ValueError{};
    }
    std::optional<std::string> name;
    if (any_within(kNickname, kNicknameRegisters)) {
        std::string text = m.nickname();
        text.resize(32, '\0');
        for (const auto &[a, v] : written) {
            if (within(a, kNickname, kNicknameRegisters)) {
                const std::size_t at = 2 * static_cast<std::size_t>(a - kNickname);
                text[at] = static_cast<char>(v >> 8);
                text[at + 1] = static_cast<char>(v & 0xFF);
            }
        }
        name = text.substr(0, text.find('\0'));
    }

    if (has(kFilter)) m.set_input_filter(written[kFilter]);
    if (has(kInputInverse)) m.set_input_inverse(written[kInputInverse] != 0);
    if (has(kCounterEdge)) m.set_counter_edge(static_cast<uint8_t>(written[kCounterEdge]));
    if (has(kOutputInverse)) m.set_output_inverse(written[kOutputInverse] != 0);
    if (timeout) m.set_watchdog_timeout(*timeout);
    if (has(kWriteProtect)) m.set_write_protect(written[kWriteProtect] != 0);
    if (has(kFrameRate)) m.set_frame_rate_factor(static_cast<uint8_t>(written[kFrameRate]));
    if (safety) m.set_safety(*safety);
    if (name) m.set_nickname(*name);
}

} // namespace

std::string UnitTarget::describe() const {
    if (!node.empty()) {
        return node;
    }
    char text[32];
    std::snprintf(text, sizeof text, "0x%04x:%u", unsigned{*product_id}, unsigned{*board_id});
    return text;
}

UnitTarget parse_unit_target(const std::string &text) {
    const std::size_t equals = text.find('=');
    const auto number = [&](const std::string &digits, int base, unsigned long limit) {
        std::size_t used = 0;
        unsigned long value = 0;
        try {
            value = std::stoul(digits, &used, base);
        } catch (const std::exception &) {
            used = 0;
        }
        if (digits.empty() || used != digits.size() || value > limit || digits[0] == '-' || digits[0] == '+' ||
            digits[0] == ' ') {
            throw std::invalid_argument("bad module '" + text + "': expected UNIT=PID:BID or UNIT=/dev/sgN");
        }
        return value;
    };
    if (equals == std::string::npos) {
        throw std::invalid_argument("bad module '" + text + "': expected UNIT=PID:BID or UNIT=/dev/sgN");
    }
    UnitTarget target;
    target.unit = static_cast<uint8_t>(number(text.substr(0, equals), 10, 247));
    if (target.unit == 0) {
        throw std::invalid_argument("bad module '" + text + "': unit IDs are 1 to 247");
    }
    const std::string what = text.substr(equals + 1);
    if (what.starts_with("/dev/sg") || what.starts_with("sg")) {
        target.node = what;
        return target;
    }
    const std::size_t colon = what.find(':');
    if (colon == std::string::npos) {
        throw std::invalid_argument("bad module '" + text + "': expected UNIT=PID:BID or UNIT=/dev/sgN");
    }
    std::string pid = what.substr(0, colon);
    if (pid.starts_with("0x") || pid.starts_with("0X")) pid = pid.substr(2);
    target.product_id = static_cast<uint16_t>(number(pid, 16, 0xFFFF));
    const std::string bid = what.substr(colon + 1);
    target.board_id = static_cast<uint8_t>(bid.size() == 1 ? number(bid, 16, 15) : number(bid, 10, 15));
    return target;
}

kdx::Module *Unit::module() {
    if (!module_) {
        std::error_code code;
        module_ = target_.node.empty() ? kdx::Module::open(*target_.product_id, *target_.board_id, code)
                                     : kdx::Module::open_node(target_.node, code);
    }
    return module_ ? &module_ : nullptr;
}

bool is_write(uint8_t function) {
    return function == kWriteCoil || function == kWriteRegister || function == kWriteCoils ||
           function == kWriteRegisters;
}

Reply serve(kdx::Module &module, uint8_t function, uint16_t address, uint16_t count,
            std::span<const uint16_t> values) {
    Reply reply;
    try {
        // A write reads before it writes (partial registers, the power-on
        // mask): no other program's change may land in between.
        const kdx::ModuleLock held = is_write(function) ? module.lock() : kdx::ModuleLock();
        switch (function) {
        case kReadCoils: reply.bits = read_coils(module, address, count); break;
        case kReadDiscreteInputs: reply.bits = read_inputs(module, address, count); break;
        case kReadHolding: reply.registers = read_holding(module, address, count); break;
        case kReadInput: reply.registers = read_input_registers(module, address, count); break;
        case kWriteCoil:
        case kWriteCoils: write_coils(module, address, values); break;
        case kWriteRegister:
        case kWriteRegisters: write_holding(module, address, values); break;
        default: reply.exception = Exception::IllegalFunction; break;
        }
    } catch (const AddressError &) {
        reply.exception = Exception::IllegalAddress;
    } catch (const ValueError &) {
        reply.exception = Exception::IllegalValue;
    } catch (const kdx::Error &error) {
        reply.exception = error.code() == kdx::errc::invalid_param ? Exception::IllegalValue
                                                                   : Exception::DeviceFailure;
    }
    if (reply.exception != Exception::None) {
        reply.bits.clear();
        reply.registers.clear();
    }
    return reply;
}

} // namespace modbusd
