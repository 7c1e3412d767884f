// SPDX-License-Identifier: MIT
#include "kdxio.h"

#include <cctype>

namespace kdxio {

namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 99;
}

// Digits of base only: no blanks, no sign, no other character.
std::optional<uint64_t> digits(const std::string &text, unsigned base) {
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : text) {
        const int d = digit_value(c);
        if (d >= static_cast<int>(base) || value > (UINT64_MAX - static_cast<unsigned>(d)) / base) {
            return std::nullopt;
        }
        value = value * base + static_cast<unsigned>(d);
    }
    return value;
}

std::string quoted(const std::string &text) {
    std::string shown;
    for (const char c : text) {
        if (std::isprint(static_cast<unsigned char>(c))) {
            shown += c;
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
            shown += escape;
        }
    }
    return "'" + shown + "'";
}

} // namespace

uint64_t parse_number(const std::string &text, uint64_t limit, const std::string &what) {
    std::optional<uint64_t> value;
    const bool prefixed = text.size() > 2 && text[0] == '0';
    if (prefixed && (text[1] == 'x' || text[1] == 'X')) {
        value = digits(text.substr(2), 16);
    } else if (prefixed && (text[1] == 'b' || text[1] == 'B')) {
        value = digits(text.substr(2), 2);
    } else {
        value = digits(text, 10);
    }
    if (!value) {
        throw UsageError("invalid " + what + " " + quoted(text) +
                         ": hex (0x..), binary (0b..) or decimal digits only");
    }
    if (*value > limit) {
        throw UsageError(what + " " + quoted(text) + " out of range (0 to " + std::to_string(limit) + ")");
    }
    return *value;
}

uint16_t parse_product_id(const std::string &text) {
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const auto value = digits(prefixed ? text.substr(2) : text, 16);
    if (!value || *value > 0xFFFF) {
        throw UsageError("invalid product ID " + quoted(text) + ": hexadecimal, 0000 to ffff");
    }
    return static_cast<uint16_t>(*value);
}

uint8_t parse_board_id(const std::string &text) {
    if (text.size() == 1 && digit_value(text[0]) < 16) {
        return static_cast<uint8_t>(digit_value(text[0]));
    }
    const auto value = digits(text, 10);
    if (!value || *value > 15) {
        throw UsageError("invalid board ID " + quoted(text) + ": 0 to 15, or the hex digit the listing shows");
    }
    return static_cast<uint8_t>(*value);
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
        const unsigned channels = std::min(channel_count(module, family), 64u);
        const uint64_t all = channels == 0 ? 0 : channels == 64 ? UINT64_MAX : (uint64_t{1} << channels) - 1;
        throw UsageError(std::string(kind) + " mask " + hex_mask(value, 64) + " names channels the module lacks: it has " +
                         std::to_string(channels) + " (" + hex_mask(0, channels) + " to " + hex_mask(all, channels) + ")");
    }
    return value;
}

uint8_t parse_channel(const std::string &text, const kdx::Module &module, int family, const char *kind) {
    const uint64_t value = parse_number(text, UINT32_MAX, std::string(kind) + " channel");
    if (KDX7400_CheckChannel(module.index(), family, static_cast<uint32_t>(value)) == RESULT_INVALID_PARAM) {
        const unsigned channels = std::min(channel_count(module, family), 64u);
        throw UsageError(std::string(kind) + " channel " + text + " out of range (0 to " +
                         std::to_string(channels == 0 ? 0 : channels - 1) + ")");
    }
    return static_cast<uint8_t>(value);
}

std::string hex_mask(uint64_t value, unsigned channels) {
    const unsigned width = channels == 0 || channels > 64 ? 16 : (channels + 3) / 4;
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
