// SPDX-License-Identifier: MIT
#include "module_model.h"

#include "kdx7400.h"
#include "module_map.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kdxsim {

namespace {

using namespace kdx::module_map;
constexpr unsigned kMaxChannels = KDX7400_MAX_CHANNELS;

// The sim keeps its own codec (the map of the registers is shared) so a
// fault in the library's cannot hide behind a matching one here.
void put_le(uint8_t *dst, uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) {
        dst[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t get_le(const uint8_t *src, std::size_t bytes) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        value |= uint64_t{src[i]} << (8 * i);
    }
    return value;
}

uint64_t channel_mask(unsigned count) {
    return count >= kMaxChannels ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
}

bool wide_safety(const ModuleIdentity &id) { return id.do_total > 32; }

std::size_t narrow_safety_bytes(const ModuleIdentity &id) {
    return id.do_total == 8 ? 1 : id.do_total == 16 ? 2 : 4;
}

enum Direction : unsigned { kRead = 1, kWrite = 2 };

struct RegisterInfo {
    uint32_t lba;
    unsigned directions;
};

constexpr std::array<RegisterInfo, 17> kRegisters{{
    {LBA_WRITE_PROTECT, kRead | kWrite},
    {LBA_FRAME_RATE_FACTOR, kRead | kWrite},
    {LBA_LOAD_DEFAULT, kWrite},
    {LBA_NICKNAME, kRead | kWrite},
    {LBA_SOFT_WDT, kWrite},
    {LBA_SYNC, kWrite},
    {LBA_OPCODE, kRead | kWrite},
    {LBA_DI_FILTER, kRead | kWrite},
    {LBA_DI_INVERSE, kRead | kWrite},
    {LBA_DI_CNT_EDGE, kRead | kWrite},
    {LBA_DI_COUNTER, kRead | kWrite},
    {LBA_DO_VALUE, kRead | kWrite},
    {LBA_DO_POWER_ON, kRead | kWrite},
    {LBA_DO_SAFETY, kRead | kWrite},
    {LBA_DO_INVERSE, kRead | kWrite},
    {LBA_FORCE_RESET, kWrite},
    {LBA_MODULE_INFO, kRead},
}};

const RegisterInfo *find_register(uint32_t lba) {
    const auto found = std::find_if(kRegisters.begin(), kRegisters.end(),
                                    [lba](const RegisterInfo &r) { return r.lba == lba; });
    return found == kRegisters.end() ? nullptr : &*found;
}

Access check_access(uint32_t lba, Direction direction) {
    const RegisterInfo *info = find_register(lba);
    if (info == nullptr) {
        return Access::NoSuchRegister;
    }
    return (info->directions & direction) != 0 ? Access::Ok : Access::WrongDirection;
}

void expire_watchdog(ModuleRegisters &r) {
    r.wdt_expired = 1;
    r.do_value = (r.do_value & ~r.safety_first) | (r.safety_second & r.safety_first);
}

} // namespace

bool is_register(uint32_t lba) { return find_register(lba) != nullptr; }

void load_defaults(ModuleState &state) {
    ModuleRegisters &r = state.registers;
    r.do_power_on = 0;
    r.safety_first = 0;
    r.safety_second = 0;
    r.do_inverse = 0;
    r.di_filter = 0;
    r.di_inverse = 0;
    r.di_cnt_edge = 0;
    std::memset(r.nickname, 0, sizeof r.nickname);
    r.write_protect = 0;
    r.frame_rate_factor = 1;
    r.opcode = 0;
    r.wdt_timeout = 0;
    r.wdt_expired = 0;
}

void power_on(ModuleState &state) {
    ModuleRegisters &r = state.registers;
    r.do_value = r.do_power_on & channel_mask(state.identity.do_total);
    std::fill(std::begin(r.counters), std::end(r.counters), 0u);
    r.wdt_expired = 0;
}

void catch_up(ModuleState &state, uint64_t now_ms) {
    ModuleRegisters &r = state.registers;
    if (r.wdt_timeout != 0 && r.wdt_expired == 0 && now_ms - r.wdt_fed_at_ms >= r.wdt_timeout) {
        expire_watchdog(r);
    }
}

uint64_t reported_inputs(const ModuleState &state) {
    const uint64_t mask = channel_mask(state.identity.di_total);
    const uint64_t levels = state.registers.di_physical & mask;
    return state.registers.di_inverse != 0 ? (~levels & mask) : levels;
}

void drive_inputs(ModuleState &state, uint64_t levels) {
    ModuleRegisters &r = state.registers;
    const unsigned channels = std::min(unsigned{state.identity.di_total}, kMaxChannels);
    levels &= channel_mask(state.identity.di_total);
    for (unsigned n = 0; n < channels; ++n) {
        const bool was = ((r.di_physical >> n) & 1u) != 0;
        const bool is = ((levels >> n) & 1u) != 0;
        const bool counted = r.di_cnt_edge == 0 ? (!was && is) : (was && !is);
        if (counted) {
            ++r.counters[n];
        }
    }
    r.di_physical = levels;
}

void pulse_input(ModuleState &state, unsigned channel, uint32_t count) {
    if (channel < std::min(unsigned{state.identity.di_total}, kMaxChannels)) {
        state.registers.counters[channel] += count; // wraps as the hardware's does
    }
}

Access read_block(ModuleState &state, uint32_t lba, std::span<uint8_t, kBlockBytes> image,
                  uint64_t now_ms) {
    std::fill(image.begin(), image.end(), uint8_t{0});
    if (const Access access = check_access(lba, kRead); access != Access::Ok) {
        return access;
    }
    catch_up(state, now_ms);
    const ModuleIdentity &id = state.identity;
    ModuleRegisters &r = state.registers;
    r.wdt_fed_at_ms = now_ms;
    ++state.seen.commands;
    put_le(image.data(), IDENTIFY_HEADER_MAGIC, 4);
    uint8_t *payload = image.data() + kPayload;
    switch (lba) {
    case LBA_WRITE_PROTECT: payload[0] = r.write_protect; break;
    case LBA_FRAME_RATE_FACTOR: payload[0] = r.frame_rate_factor; break;
    case LBA_OPCODE: payload[0] = r.opcode; break;
    case LBA_NICKNAME: std::memcpy(payload, r.nickname, kNicknameBytes); break;
    case LBA_DI_FILTER: put_le(payload, r.di_filter, 2); break;
    case LBA_DI_INVERSE: payload[0] = r.di_inverse; break;
    case LBA_DI_CNT_EDGE: payload[0] = r.di_cnt_edge; break;
    case LBA_DI_COUNTER:
        for (unsigned n = 0; n < std::min(unsigned{id.di_total}, kMaxChannels); ++n) {
            put_le(payload + kCounterBytes * n, r.counters[n], kCounterBytes);
        }
        break;
    case LBA_DO_VALUE: put_le(payload, r.do_value, channel_width(id.do_total)); break;
    case LBA_DO_POWER_ON: put_le(payload, r.do_power_on, channel_width(id.do_total)); break;
    case LBA_DO_SAFETY:
        if (wide_safety(id)) {
            put_le(image.data() + kSafetyFirstLow, r.safety_first, 4);
            put_le(image.data() + kSafetySecondLow, r.safety_second, 4);
            put_le(image.data() + kSafetyFirstHigh, r.safety_first >> 32, 4);
            put_le(image.data() + kSafetySecondHigh, r.safety_second >> 32, 4);
        } else {
            put_le(image.data() + kSafetyFirstLow, r.safety_first, narrow_safety_bytes(id));
            put_le(image.data() + kSafetySecondLow, r.safety_second, narrow_safety_bytes(id));
        }
        break;
    case LBA_DO_INVERSE: payload[0] = r.do_inverse; break;
    case LBA_MODULE_INFO:
        put_le(image.data() + kFirmwareVersion, id.firmware_version, 2);
        std::memcpy(image.data() + kFirmwareDate, id.firmware_date, kFirmwareDateBytes);
        put_le(image.data() + kWatchdogTimeout, r.wdt_timeout, 4);
        put_le(image.data() + kInputLevels, reported_inputs(state), channel_width(id.di_total));
        image[kChannelCounts + 0] = id.di_total;
        image[kChannelCounts + 1] = id.do_total;
        image[kChannelCounts + 2] = id.ai_total;
        image[kChannelCounts + 3] = id.ao_total;
        image[kChannelCounts + 4] = id.pi_total;
        image[kChannelCounts + 5] = id.po_total;
        break;
    default: break;
    }
    return Access::Ok;
}

Access write_block(ModuleState &state, uint32_t lba, std::span<const uint8_t> data,
                   uint64_t now_ms) {
    if (const Access access = check_access(lba, kWrite); access != Access::Ok) {
        return access;
    }
    std::array<uint8_t, kBlockBytes> block{};
    std::copy_n(data.begin(), std::min(data.size(), block.size()), block.begin());
    if (get_le(block.data(), 4) != IDENTIFY_HEADER_MAGIC) {
        return Access::BadMagic;
    }
    catch_up(state, now_ms);
    const ModuleIdentity &id = state.identity;
    ModuleRegisters &r = state.registers;
    r.wdt_fed_at_ms = now_ms;
    ++state.seen.commands;
    const uint8_t *payload = block.data() + kPayload;
    const uint64_t outputs = channel_mask(id.do_total);
    switch (lba) {
    case LBA_WRITE_PROTECT: r.write_protect = payload[0]; break;
    case LBA_FRAME_RATE_FACTOR: r.frame_rate_factor = payload[0]; break;
    case LBA_OPCODE: r.opcode = payload[0]; break;
    case LBA_NICKNAME:
        if (r.write_protect == 0) {
            std::memcpy(r.nickname, payload, kNicknameBytes);
        }
        break;
    case LBA_SOFT_WDT:
        r.wdt_timeout = static_cast<uint32_t>(get_le(payload, 4));
        if (r.wdt_timeout == 0) {
            r.wdt_expired = 0;
        }
        break;
    case LBA_DI_FILTER: r.di_filter = static_cast<uint16_t>(get_le(payload, 2)); break;
    case LBA_DI_INVERSE: r.di_inverse = payload[0]; break;
    case LBA_DI_CNT_EDGE: r.di_cnt_edge = payload[0]; break;
    case LBA_DI_COUNTER: {
        const uint64_t clear = get_le(block.data() + kClearLow, 4) | get_le(block.data() + kClearHigh, 4) << 32;
        for (unsigned n = 0; n < std::min(unsigned{id.di_total}, kMaxChannels); ++n) {
            if (((clear >> n) & 1u) != 0) {
                r.counters[n] = 0;
            }
        }
        break;
    }
    case LBA_DO_VALUE: r.do_value = get_le(payload, channel_width(id.do_total)) & outputs; break;
    case LBA_DO_POWER_ON:
        r.do_power_on = get_le(payload, channel_width(id.do_total)) & outputs;
        break;
    case LBA_DO_SAFETY:
        if (wide_safety(id)) {
            r.safety_first = get_le(block.data() + kSafetyFirstLow, 4) | get_le(block.data() + kSafetyFirstHigh, 4) << 32;
            r.safety_second = get_le(block.data() + kSafetySecondLow, 4) | get_le(block.data() + kSafetySecondHigh, 4) << 32;
        } else {
            r.safety_first = get_le(block.data() + kSafetyFirstLow, narrow_safety_bytes(id));
            r.safety_second = get_le(block.data() + kSafetySecondLow, narrow_safety_bytes(id));
        }
        r.safety_first &= outputs;
        r.safety_second &= outputs;
        break;
    case LBA_DO_INVERSE: r.do_inverse = payload[0]; break;
    case LBA_LOAD_DEFAULT:
        if (payload[0] == TRIGGER_BYTE) {
            load_defaults(state);
            ++state.seen.load_default;
        }
        break;
    case LBA_SYNC:
        if (payload[0] == TRIGGER_BYTE) {
            ++state.seen.sync;
        }
        break;
    case LBA_FORCE_RESET:
        if (payload[0] == TRIGGER_BYTE) {
            power_on(state);
            ++state.seen.reset;
        }
        break;
    default: break;
    }
    return Access::Ok;
}

} // namespace kdxsim
