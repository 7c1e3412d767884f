// SPDX-License-Identifier: MIT
// Numbers as every tool takes them, one vocabulary for kdxio, kdx7400-sim
// (and its module descriptions), kdx7400-gadget and kdx7400d: hex (0x..),
// binary (0b..) or decimal digits and nothing else (no sign, no blank, no
// octal: "010" is ten); a product ID always hexadecimal, with or without
// 0x, as USB tools show it; a board ID as the listing shows it (one hex
// digit) or as 0 to 15. Failures throw std::invalid_argument saying why.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

namespace kdxtext {

inline int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// Digits of base only, at least one.
inline std::optional<uint64_t> digits(const std::string &text, unsigned base) {
    if (text.empty()) return std::nullopt;
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

// The text as it was, its unprintable bytes escaped.
inline std::string quoted(const std::string &text) {
    std::string shown;
    for (const char c : text) {
        if (c >= 0x20 && c < 0x7f) {
            shown += c;
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(c));
            shown += escape;
        }
    }
    return "'" + shown + "'";
}

inline uint64_t parse_number(const std::string &text, uint64_t limit, const std::string &what) {
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
        throw std::invalid_argument("invalid " + what + " " + quoted(text) +
                                    ": hex (0x..), binary (0b..) or decimal digits only");
    }
    if (*value > limit) {
        throw std::invalid_argument(what + " " + quoted(text) + " out of range (0 to " + std::to_string(limit) + ")");
    }
    return *value;
}

inline uint16_t parse_product_id(const std::string &text) {
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const auto value = digits(prefixed ? text.substr(2) : text, 16);
    if (!value || *value > 0xFFFF) {
        throw std::invalid_argument("invalid product ID " + quoted(text) + ": hexadecimal, 0000 to ffff");
    }
    return static_cast<uint16_t>(*value);
}

inline uint8_t parse_board_id(const std::string &text) {
    if (text.size() == 1 && digit_value(text[0]) < 16) {
        return static_cast<uint8_t>(digit_value(text[0]));
    }
    const auto value = digits(text, 10);
    if (!value || *value > 15) {
        throw std::invalid_argument("invalid board ID " + quoted(text) +
                                    ": 0 to 15, or the hex digit the listing shows");
    }
    return static_cast<uint8_t>(*value);
}

} // namespace kdxtext
