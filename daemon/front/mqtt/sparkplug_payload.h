// SPDX-License-Identifier: MIT
// Sparkplug B payloads (protobuf, by protobuf-c) as the edge node writes
// and reads them: a timestamp, a seq, and named metrics of a few types.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kdxd::sparkplug {

// The definition's data type numbers for the types this node uses.
enum class Type : uint32_t { int64 = 4, uint32 = 7, boolean = 11, string = 12 };

struct Metric {
    Metric() = default;
    Metric(std::string name_, Type type_, uint64_t number_, std::string text_)
        : name(std::move(name_)), type(type_), number(number_), text(std::move(text_)) {}
    std::string name;
    Type type = Type::boolean;
    uint64_t number = 0; // int64, uint32, and boolean (0 or 1)
    std::string text;    // string
    // Read: its declared datatype, if any, is the type of its value.
    bool declared_as_held = true;
    // Sent: a value not read lately carries the Quality property STALE
    // and the time it was read; one never read is null.
    enum class Quality : uint8_t { good, stale, unknown } quality = Quality::good;
    std::optional<uint64_t> read_at_ms;
    bool operator==(const Metric &other) const {
        return name == other.name && type == other.type && number == other.number && text == other.text &&
               quality == other.quality;
    }
};

// seq absent for an NDEATH.
std::string encode(uint64_t timestamp_ms, std::optional<uint64_t> seq, const std::vector<Metric> &metrics);
// A command's metrics (NCMD, DCMD); nothing when it is not a payload.
std::optional<std::vector<Metric>> decode(const std::string &bytes);

uint64_t now_ms();

} // namespace kdxd::sparkplug
