// SPDX-License-Identifier: MIT
// kdxio's number and ID parsing: any text either parses to
// a value within its limit that the same text always gives, or is refused
// with a usage error; nothing else escapes.
#include "../tools/kdxio/kdxio.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const unsigned channels = data[0] % 70;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const auto refused = [](auto parse) {
        try {
            parse();
            return false;
        } catch (const kdxio::UsageError &) {
            return true;
        }
    };
    uint64_t value = 0;
    if (!refused([&] { value = kdxio::parse_number(text, 1000, "n"); }) && value > 1000) std::abort();
    if (!refused([&] { value = kdxio::parse_number(text, channels, "n"); }) && value > channels) std::abort();
    if (!refused([&] { value = kdxio::parse_board_id(text); }) && value > 15) std::abort();
    refused([&] { kdxio::parse_product_id(text); });
    // Blanks and signs are never numbers.
    if (text.find_first_of(" \t\n-+") != std::string::npos && !refused([&] { kdxio::parse_number(text, UINT64_MAX, "n"); })) {
        std::abort();
    }
    return 0;
}
