// SPDX-License-Identifier: MIT
// The fuzzer's bytes, taken one at a time by whatever decides an outcome;
// past the end every byte reads as `spent`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzing {

struct Input {
    const uint8_t *data = nullptr;
    size_t size = 0;
    uint8_t spent = 0;

    uint8_t next() {
        if (size == 0) return spent;
        --size;
        return *data++;
    }
};

} // namespace fuzzing
