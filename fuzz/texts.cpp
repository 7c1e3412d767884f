// SPDX-License-Identifier: MIT
// Texts a module holds (nickname, product, firmware date) are any bytes,
// from any program. Every encoding the tools and the daemon send them in
// (JSON on HTTP, MQTT and the page; Sparkplug B strings) must take them
// without an exception, give well-formed UTF-8, and keep a text that was
// UTF-8 already exactly as it was.
#include "common/module_json.h"
#include "front/mqtt/sparkplug_payload.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void broken(const char *what, const std::string &text) {
    std::fprintf(stderr, "invariant broken: %s (%zu bytes)\n", what, text.size());
    std::abort();
}

// Whether nlohmann's strict dump takes it: well-formed UTF-8.
bool is_utf8(const std::string &text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::exception &) {
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Three texts, split at 0xF8 (never a UTF-8 byte).
    std::string texts[3];
    std::size_t field = 0;
    for (std::size_t i = 0; i < size && field < 3; ++i) {
        if (data[i] == 0xF8) {
            ++field;
        } else {
            texts[field].push_back(static_cast<char>(data[i]));
        }
    }
    kdxjson::Identity identity;
    identity.nickname = texts[0];
    identity.product = texts[1];
    identity.firmware_date = texts[2];

    const std::string sent = kdxjson::text(kdxjson::identity(identity));
    const nlohmann::json read = nlohmann::json::parse(sent, nullptr, false);
    if (read.is_discarded() || !read.is_object()) broken("the JSON sent does not parse", sent);
    const std::string fields[3] = {read["nickname"].get<std::string>(), read["product"].get<std::string>(),
                                   read["firmware_date"].get<std::string>()};

    std::vector<kdxd::sparkplug::Metric> metrics;
    for (const std::string &text : texts) {
        metrics.push_back({"Identity/Text", kdxd::sparkplug::Type::string, 0, text});
    }
    const auto decoded = kdxd::sparkplug::decode(kdxd::sparkplug::encode(1, 0, metrics));
    if (!decoded || decoded->size() != 3) broken("a Sparkplug payload does not read back", sent);

    for (std::size_t i = 0; i < 3; ++i) {
        const std::string &shown = (*decoded)[i].text;
        if (!is_utf8(fields[i]) || !is_utf8(shown)) broken("a text went out as no UTF-8", texts[i]);
        if (fields[i] != kdxjson::shown(texts[i])) broken("JSON and the shown text differ", texts[i]);
        // Sparkplug's strings end at a NUL; JSON keeps it.
        if (shown != std::string_view(fields[i]).substr(0, fields[i].find('\0'))) {
            broken("Sparkplug and JSON show a text differently", texts[i]);
        }
        if (is_utf8(texts[i]) && fields[i] != texts[i]) broken("a UTF-8 text was changed", texts[i]);
    }
    return 0;
}
