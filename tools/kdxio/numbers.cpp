// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include "../common/numbers.h"

#include <cctype>

namespace kdxio {

namespace {

// The tools' one vocabulary (tools/common/numbers.h); kdxio words its
// refusals as usage errors.
template <class Parse> auto as_usage(Parse parse) {
    try {
        return parse();
    } catch (const std::invalid_argument &error) {
        throw UsageError(error.what());
    }
}

} // namespace

uint64_t parse_number(const std::string &text, uint64_t limit, const std::string &what) {
    return as_usage([&] { return kdxtext::parse_number(text, limit, what); });
}

uint16_t parse_product_id(const std::string &text) {
    return as_usage([&] { return kdxtext::parse_product_id(text); });
}

uint8_t parse_board_id(const std::string &text) {
    return as_usage([&] { return kdxtext::parse_board_id(text); });
}

void check_setting(const kdx::Module &module, int32_t setting, uint64_t value, const std::string &refusal) {
    if (KDX7400_CheckSetting(module.index(), setting, value) == RESULT_INVALID_PARAM) {
        throw UsageError(refusal);
    }
}

uint64_t parse_setting(const std::string &text, const kdx::Module &module, int32_t setting, const std::string &what,
                       const std::string &rule) {
    const uint64_t value = parse_number(text, UINT64_MAX, what);
    check_setting(module, setting, value, what + " must be " + rule + ", not " + text);
    return value;
}

namespace {

unsigned channel_count(const kdx::Module &module, int family) {
    return family == KDX7400_OUTPUTS ? module.counts().do_ : module.counts().di;
}

} // namespace

// Which channels exist is the library's rule (KDX7400_CheckMask and
// KDX7400_CheckChannel); kdxio only words the refusal.
uint64_t parse_mask(const std::string &text, const kdx::Module &module, int family, const char *kind) {
    const uint64_t value = parse_number(text, UINT64_MAX, std::string(kind) + " mask");
    if (KDX7400_CheckMask(module.index(), family, value) == RESULT_INVALID_PARAM) {
        const unsigned channels = std::min<unsigned>(channel_count(module, family), KDX7400_MAX_CHANNELS);
        const uint64_t all = channels == 0 ? 0 : channels == KDX7400_MAX_CHANNELS ? UINT64_MAX : (uint64_t{1} << channels) - 1;
        throw UsageError(std::string(kind) + " mask " + hex_mask(value, KDX7400_MAX_CHANNELS) + " names channels the module lacks: it has " +
                         std::to_string(channels) + " (" + hex_mask(0, channels) + " to " + hex_mask(all, channels) + ")");
    }
    return value;
}

uint8_t parse_channel(const std::string &text, const kdx::Module &module, int family, const char *kind) {
    const uint64_t value = parse_number(text, UINT32_MAX, std::string(kind) + " channel");
    if (KDX7400_CheckChannel(module.index(), family, static_cast<uint32_t>(value)) == RESULT_INVALID_PARAM) {
        const unsigned channels = std::min<unsigned>(channel_count(module, family), KDX7400_MAX_CHANNELS);
        throw UsageError(std::string(kind) + " channel " + text + " out of range (0 to " +
                         std::to_string(channels == 0 ? 0 : channels - 1) + ")");
    }
    return static_cast<uint8_t>(value);
}

std::string hex_mask(uint64_t value, unsigned channels) {
    const unsigned width = channels == 0 || channels > KDX7400_MAX_CHANNELS ? 16 : (channels + 3) / 4;
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", static_cast<int>(width), static_cast<unsigned long long>(value));
    return text;
}

std::string hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

} // namespace kdxio
