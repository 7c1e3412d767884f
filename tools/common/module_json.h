// SPDX-License-Identifier: MIT
// One JSON shape of a module, for kdxio --json and kdx7400d's API (and so
// its MQTT state): an identity object, masks as "0x" and 16 hex digits
// (all 64 bits, which a JSON number cannot promise), settings by the
// API's names.
#pragma once

#include "kdx7400.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace kdxjson {

using json = nlohmann::json;

// What identifies a module and what it has: read once, when it is opened.
struct Identity {
    std::string node;
    std::optional<uint16_t> product_id;
    std::optional<uint8_t> board_id;
    std::string product; // the INQUIRY product, without its revision
    uint16_t firmware_version = 0;
    std::string firmware_date;
    std::string nickname;
    kdx::ChannelCounts counts;
};

// JSON as every tool and front end sends it. Texts from a module
// (nickname, product, firmware) are any bytes: what is not UTF-8 goes out
// as U+FFFD, never as an exception.
inline std::string text(const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// A module's text by the same rule, as UTF-8 for encodings other than JSON.
inline std::string shown(const std::string &bytes) {
    return json::parse(text(json(bytes)), nullptr, false).get<std::string>();
}

inline std::string mask(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

inline json identity(const Identity &identity) {
    json out{{"node", identity.node},
             {"product", identity.product},
             {"firmware_version", identity.firmware_version},
             {"firmware_date", identity.firmware_date},
             {"nickname", identity.nickname},
             {"counts",
              {{"di", identity.counts.di},
               {"do", identity.counts.do_},
               {"ai", identity.counts.ai},
               {"ao", identity.counts.ao},
               {"pi", identity.counts.pi},
               {"po", identity.counts.po}}}};
    out["product_id"] = identity.product_id ? json(*identity.product_id) : json(nullptr);
    out["board_id"] = identity.board_id ? json(*identity.board_id) : json(nullptr);
    return out;
}

// A module's identity as the listing (sysfs and INQUIRY) adds to it: the
// product, and the IDs where the caller knows none.
inline void complete_from_listing(Identity &identity) {
    std::error_code ignored;
    for (const kdx::DeviceInfo &device : kdx::list_devices(ignored)) {
        if (device.node != identity.node) continue;
        identity.product = device.product;
        if (device.product_id) identity.product_id = device.product_id;
        if (device.board_id) identity.board_id = device.board_id;
    }
}

} // namespace kdxjson
