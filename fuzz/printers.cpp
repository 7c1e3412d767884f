// SPDX-License-Identifier: MIT
// The printers over any bytes: never read past what they are given.
#include "kdx7400.h"

#include <cstdio>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static FILE *sink = [] { return std::freopen("/dev/null", "w", stdout); }();
    (void)sink;
    std::vector<uint8_t> copy(data, data + size);
    dumpPackage(copy.data(), static_cast<int32_t>(copy.size()));
    if (size >= 96) {
        std::vector<uint8_t> inquiry(data, data + 96);
        showInquiry(inquiry.data());
    }
    if (size >= 8) {
        std::vector<uint8_t> capacity(data, data + 8);
        showCapacity(capacity.data());
    }
    return 0;
}
