// SPDX-License-Identifier: MIT
#include "front/modbus/modbus_map.h"


#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace kdxd::modbus {

namespace {


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

unsigned channels(uint8_t count) { return std::min<unsigned>(count, KDX7400_MAX_CHANNELS); }

bool within(uint16_t address, uint16_t start, unsigned size) {
    return address >= start && address < start + size;
}

enum class Coil { None, Output, PowerOn, ClearCounter, ClearWatchdog };

Coil coil(const kdx::ChannelCounts &n, uint16_t address) {
    if (within(address, 0, channels(n.do_))) return Coil::Output;
    if (within(address, kPowerOnCoils, channels(n.do_))) return Coil::PowerOn;
    if (within(address, kClearCounterCoils, channels(n.di))) return Coil::ClearCounter;
    if (address == kClearWatchdogCoil) return Coil::ClearWatchdog;
    return Coil::None;
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
template <class Read> class Once {
public:
    explicit Once(Read read) : read_(std::move(read)) {}
    const auto &get() {
        if (!read_yet_) {
            value_ = read_();
            read_yet_ = true;
        }
        return value_;
    }

private:
    Read read_;
    bool read_yet_ = false;
    std::invoke_result_t<Read &> value_{};
};

uint64_t with_bit(uint64_t mask, unsigned bit, bool on) {
    return on ? mask | (uint64_t{1} << bit) : mask & ~(uint64_t{1} << bit);
}

Exception read_coils(kdx::Module &m, uint16_t address, uint16_t count, uint8_t *bits) {
    const auto &n = m.counts();
    for (unsigned i = 0; i < count; ++i) {
        if (coil(n, static_cast<uint16_t>(address + i)) == Coil::None) return Exception::IllegalAddress;
    }
    Once outputs([&] { return m.read_outputs(); });
    Once power_on([&] { return m.power_on(); });
    for (unsigned i = 0; i < count; ++i) {
        const auto a = static_cast<uint16_t>(address + i);
        switch (coil(n, a)) {
        case Coil::Output: bits[i] = (outputs.get() >> a) & 1; break;
        case Coil::PowerOn: bits[i] = (power_on.get() >> (a - kPowerOnCoils)) & 1; break;
        default: bits[i] = 0; break; // command coils read as 0
        }
    }
    return Exception::None;
}

Exception refusal(const std::optional<service::Refusal> &refused) {
    if (!refused) return Exception::None;
    return refused->kind == service::Refusal::Kind::write_protected ? Exception::DeviceFailure
                                                                    : Exception::IllegalValue;
}

Exception write_coils(kdx::Module &m, service::Observer &observer, uint16_t address, std::span<const uint16_t> values) {
    const auto &n = m.counts();
    uint64_t outputs_changed = 0, outputs_value = 0;
    std::optional<uint64_t> power_on;
    uint64_t clear = 0;
    bool clear_watchdog = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (coil(n, static_cast<uint16_t>(address + i)) == Coil::None) return Exception::IllegalAddress;
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
        case Coil::None: break;
        }
    }
    if (outputs_changed != 0) {
        const auto outputs = service::update_outputs(m, observer, outputs_changed, outputs_value);
        if (const auto *refused = std::get_if<service::Refusal>(&outputs)) return refusal(*refused);
    }
    if (power_on) {
        service::Settings record;
        record.power_on = *power_on;
        if (const Exception e = refusal(service::change_settings(m, observer, record)); e != Exception::None) return e;
    }
    if (clear != 0) {
        if (const Exception e = refusal(service::clear_counters(m, observer, clear)); e != Exception::None) return e;
    }
    if (clear_watchdog) service::clear_watchdog(m, observer);
    return Exception::None;
}

Exception read_inputs(kdx::Module &m, uint16_t address, uint16_t count, uint8_t *bits) {
    if (address + count > channels(m.counts().di)) {
        return Exception::IllegalAddress;
    }
    const uint64_t inputs = m.read_inputs();
    for (unsigned i = 0; i < count; ++i) {
        bits[i] = (inputs >> (address + i)) & 1;
    }
    return Exception::None;
}

// The counters into a fixed array: a request allocates nothing.
std::array<uint32_t, KDX7400_MAX_CHANNELS> counters_of(const kdx::Module &m) {
    std::array<uint32_t, KDX7400_MAX_CHANNELS> values{};
    const int16_t result = KDX7400_DI_ReadCounterValue(m.index(), values.data(), m.counts().di);
    if (result != RESULT_OK) {
        throw kdx::Error(kdx::make_error_code(static_cast<kdx::errc>(result)), "read counters");
    }
    return values;
}

Exception read_input_registers(kdx::Module &m, uint16_t address, uint16_t count, uint16_t *registers) {
    const auto &n = m.counts();
    for (unsigned i = 0; i < count; ++i) {
        if (!input_register(n, static_cast<uint16_t>(address + i))) return Exception::IllegalAddress;
    }
    Once counters([&] { return counters_of(m); });
    // Firmware and counts in one read, which also shows the module is there.
    Once info([&] { return m.info(); });
    const uint8_t counts[] = {n.di, n.do_, n.ai, n.ao, n.pi, n.po};
    // The counts are the library's, read at open: a module pulled since must
    // not seem to answer, so a request for them alone asks the module too.
    bool only_counts = true;
    for (unsigned i = 0; i < count; ++i) {
        only_counts = only_counts && within(static_cast<uint16_t>(address + i), kCounts, 6);
    }
    if (only_counts) {
        info.get();
    }
    for (unsigned i = 0; i < count; ++i) {
        const auto a = static_cast<uint16_t>(address + i);
        if (a < 2 * channels(n.di)) {
            const uint32_t value = counters.get()[a / 2];
            registers[i] = static_cast<uint16_t>(a % 2 == 0 ? value >> 16 : value & 0xFFFF);
        } else if (a == kFirmwareVersion) {
            registers[i] = info.get().firmware_version;
        } else if (within(a, kFirmwareDate, 5)) {
            std::string text(info.get().firmware_date, 10);
            const std::size_t at = 2 * static_cast<std::size_t>(a - kFirmwareDate);
            registers[i] = static_cast<uint16_t>(static_cast<uint8_t>(text[at]) << 8 | static_cast<uint8_t>(text[at + 1]));
        } else {
            registers[i] = counts[a - kCounts];
        }
    }
    return Exception::None;
}

uint16_t word_of(uint64_t mask, unsigned word) { return static_cast<uint16_t>(mask >> (16 * word)); }

Exception read_holding(kdx::Module &m, uint16_t address, uint16_t count, uint16_t *registers) {
    const auto &n = m.counts();
    for (unsigned i = 0; i < count; ++i) {
        if (!holding(n, static_cast<uint16_t>(address + i))) return Exception::IllegalAddress;
    }
    Once timeout([&] { return m.watchdog_timeout(); });
    Once safety([&] { return m.safety(); });
    Once nickname([&] { return m.nickname(); });
    for (unsigned i = 0; i < count; ++i) {
        const auto a = static_cast<uint16_t>(address + i);
        switch (a) {
        case kFilter: registers[i] = m.input_filter(); continue;
        case kInputInverse: registers[i] = m.input_inverse(); continue;
        case kCounterEdge: registers[i] = m.counter_edge(); continue;
        case kOutputInverse: registers[i] = m.output_inverse(); continue;
        case kWatchdogHigh: registers[i] = static_cast<uint16_t>(timeout.get() >> 16); continue;
        case kWatchdogLow: registers[i] = static_cast<uint16_t>(timeout.get()); continue;
        case kWriteProtect: registers[i] = m.write_protect(); continue;
        case kFrameRate: registers[i] = m.frame_rate_factor(); continue;
        default: break;
        }
        if (within(a, kSafetyFirst, 4)) {
            registers[i] = word_of(safety.get().outputs, a - kSafetyFirst);
        } else if (within(a, kSafetySecond, 4)) {
            registers[i] = word_of(safety.get().values, a - kSafetySecond);
        } else {
            std::string text = nickname.get();
            text.resize(32, '\0');
            const std::size_t at = 2 * static_cast<std::size_t>(a - kNickname);
            registers[i] = static_cast<uint16_t>(static_cast<uint8_t>(text[at]) << 8 | static_cast<uint8_t>(text[at + 1]));
        }
    }
    return Exception::None;
}

// The registers a write names, in address order.
class Written {
public:
    Written(uint16_t first, std::span<const uint16_t> values) : first_(first), values_(values) {}
    bool has(uint16_t a) const { return a >= first_ && std::size_t{a} - first_ < values_.size(); }
    uint16_t operator[](uint16_t a) const { return values_[a - first_]; }

    class Iterator {
    public:
        Iterator(uint16_t a, const uint16_t *v) : a_(a), v_(v) {}
        std::pair<uint16_t, uint16_t> operator*() const { return {a_, *v_}; }
        Iterator &operator++() {
            ++a_;
            ++v_;
            return *this;
        }
        bool operator==(const Iterator &other) const { return v_ == other.v_; }

    private:
        uint16_t a_;
        const uint16_t *v_;
    };
    Iterator begin() const { return {first_, values_.data()}; }
    Iterator end() const { return {static_cast<uint16_t>(first_ + values_.size()), values_.data() + values_.size()}; }

private:
    uint16_t first_;
    std::span<const uint16_t> values_;
};

uint64_t with_word(uint64_t mask, unsigned word, uint16_t value) {
    const unsigned shift = 16 * word;
    return (mask & ~(uint64_t{0xFFFF} << shift)) | (uint64_t{value} << shift);
}

// The registers become one record of settings: partial registers (a word
// of the watchdog or of a safety mask, some of the nickname's) are filled
// from the module, then the service checks the record whole and writes it.
Exception write_holding(kdx::Module &m, service::Observer &observer, uint16_t address,
                        std::span<const uint16_t> values) {
    const auto &n = m.counts();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!holding(n, static_cast<uint16_t>(address + i))) return Exception::IllegalAddress;
    }
    const Written written{address, values};
    const auto has = [&](uint16_t a) { return written.has(a); };
    const auto count_within = [&](uint16_t start, unsigned size) {
        unsigned found = 0;
        for (const auto &[a, v] : written) found += within(a, start, size) ? 1 : 0;
        return found;
    };
    service::Settings record;
    if (has(kFilter)) record.filter = written[kFilter];
    if (has(kInputInverse)) record.input_inverse = written[kInputInverse];
    if (has(kCounterEdge)) record.edge = written[kCounterEdge];
    if (has(kOutputInverse)) record.output_inverse = written[kOutputInverse];
    if (has(kWriteProtect)) record.write_protect = written[kWriteProtect];
    if (has(kFrameRate)) record.frame_rate_factor = written[kFrameRate];
    if (has(kWatchdogHigh) || has(kWatchdogLow)) {
        const uint32_t current = has(kWatchdogHigh) && has(kWatchdogLow) ? 0 : m.watchdog_timeout();
        const uint32_t high = has(kWatchdogHigh) ? written[kWatchdogHigh] : current >> 16;
        const uint32_t low = has(kWatchdogLow) ? written[kWatchdogLow] : current & 0xFFFF;
        record.watchdog_timeout = high << 16 | low;
    }
    if (count_within(kSafetyFirst, 8) != 0) {
        kdx::Module::Safety safety = m.safety();
        for (const auto &[a, v] : written) {
            if (within(a, kSafetyFirst, 4)) safety.outputs = with_word(safety.outputs, a - kSafetyFirst, v);
            if (within(a, kSafetySecond, 4)) safety.values = with_word(safety.values, a - kSafetySecond, v);
        }
        record.safety = safety;
    }
    if (const unsigned words = count_within(kNickname, kNicknameRegisters); words != 0) {
        std::string text = words == kNicknameRegisters ? std::string() : m.nickname(); // all 16: nothing to keep
        text.resize(32, '\0');
        for (const auto &[a, v] : written) {
            if (within(a, kNickname, kNicknameRegisters)) {
                const std::size_t at = 2 * static_cast<std::size_t>(a - kNickname);
                text[at] = static_cast<char>(v >> 8);
                text[at + 1] = static_cast<char>(v & 0xFF);
            }
        }
        record.nickname = text.substr(0, text.find('\0'));
    }
    return refusal(service::change_settings(m, observer, record));
}

} // namespace

bool is_status_request(const Request &request) {
    return request.function == kReadInput && within(request.address, kStatusRegister, kStatusRegisters);
}

Exception status_registers(const UnitStatus &status, const Request &request, uint16_t *registers) {
    if (request.address + unsigned{request.count} > kStatusRegister + unsigned{kStatusRegisters}) {
        return Exception::IllegalAddress;
    }
    const uint16_t bits = static_cast<uint16_t>((status.present ? 1u : 0u) | (status.responding ? 2u : 0u) |
                                                (status.watching ? 4u : 0u) | (status.paused ? 8u : 0u));
    // 0xFFFF: never read, or older than the register holds.
    const uint16_t age = status.sample_age_s && *status.sample_age_s * 10 < 0xFFFF
                             ? static_cast<uint16_t>(*status.sample_age_s * 10)
                             : uint16_t{0xFFFF};
    const uint16_t block[kStatusRegisters] = {bits, age};
    for (unsigned i = 0; i < request.count; ++i) registers[i] = block[request.address - kStatusRegister + i];
    return Exception::None;
}

void serve(kdx::Module &module, service::Observer &observer, const Request &request, Reply &reply) {
    const uint8_t function = request.function;
    const uint16_t address = request.address, count = request.count;
    const std::span<const uint16_t> values(request.values.data(), is_write(function) ? count : 0);
    reply.exception = Exception::None;
    reply.transfer_failed = false;
    try {
        // A write reads before it writes (partial registers, the power-on
        // mask): no other program's change may land in between.
        const kdx::ModuleLock held = is_write(function) ? module.lock() : kdx::ModuleLock();
        switch (function) {
        case kReadCoils: reply.exception = read_coils(module, address, count, reply.bits.data()); break;
        case kReadDiscreteInputs: reply.exception = read_inputs(module, address, count, reply.bits.data()); break;
        case kReadHolding: reply.exception = read_holding(module, address, count, reply.registers.data()); break;
        case kReadInput:
            reply.exception = read_input_registers(module, address, count, reply.registers.data());
            break;
        case kWriteCoil:
        case kWriteCoils: reply.exception = write_coils(module, observer, address, values); break;
        case kWriteRegister:
        case kWriteRegisters: reply.exception = write_holding(module, observer, address, values); break;
        default: reply.exception = Exception::IllegalFunction; break;
        }
    } catch (const kdx::Error &error) { // a transfer failed: rare, and then an allocation is no matter
        reply.exception = error.code() == kdx::errc::invalid_param ? Exception::IllegalValue
                                                                   : Exception::DeviceFailure;
        reply.transfer_failed = reply.exception == Exception::DeviceFailure;
    }
}

} // namespace kdxd::modbus
