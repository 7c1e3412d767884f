// SPDX-License-Identifier: MIT
// The two-program probe: two processes, each switching its own 32 outputs
// of one 64-output module on, one DO_WriteChannel at a time, while the
// other does the same. Every round starts from all-off; a bit still off at
// the end of a round is an update the other process undid.
#pragma once

#include "kdx7400.h"

#include <cstdint>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace kdxtest {

struct ProbeResult {
    unsigned rounds = 0;     // rounds both processes completed
    unsigned lost_bits = 0;  // outputs off at the end of those rounds
    unsigned failed_calls = 0;
};

namespace detail {

// A child: opens its own module (its own open file, so its own flock),
// then per byte on `go` switches its half on and answers on `done`.
[[noreturn]] inline void probe_child(const std::function<int32_t()> &open, unsigned half, int go,
                                     int done) {
    const int32_t module = open();
    char token = 0;
    while (::read(go, &token, 1) == 1) {
        char failures = 0;
        for (unsigned channel = 32 * half; channel < 32 * half + 32; ++channel) {
            if (module < 0 || KDX7400_DO_WriteChannel(module, static_cast<uint8_t>(channel), 1) != RESULT_OK) {
                failures = 1;
            }
        }
        if (::write(done, &failures, 1) != 1) {
            break;
        }
    }
    ::_exit(0);
}

} // namespace detail

// `module` is the parent's open index (used to reset and check); `open`
// opens the same module anew in each child.
inline ProbeResult two_process_probe(int32_t module, const std::function<int32_t()> &open,
                                     unsigned rounds) {
    ProbeResult result;
    int go[2][2], done[2][2];
    for (unsigned half = 0; half < 2; ++half) {
        if (::pipe(go[half]) != 0 || ::pipe(done[half]) != 0) {
            return result;
        }
    }
    pid_t children[2] = {-1, -1};
    for (unsigned half = 0; half < 2; ++half) {
        children[half] = ::fork();
        if (children[half] == 0) {
            // Only its own ends stay open, so that each child sees the
            // end of its pipe when the parent closes it.
            for (unsigned other = 0; other < 2; ++other) {
                ::close(go[other][1]);
                ::close(done[other][0]);
                if (other != half) {
                    ::close(go[other][0]);
                    ::close(done[other][1]);
                }
            }
            detail::probe_child(open, half, go[half][0], done[half][1]);
        }
    }
    for (unsigned half = 0; half < 2; ++half) {
        ::close(go[half][0]);
        ::close(done[half][1]);
    }
    for (unsigned round = 0; round < rounds; ++round) {
        if (KDX7400_DO_WriteValue(module, 0) != RESULT_OK) {
            ++result.failed_calls;
            break;
        }
        const char token = 1;
        bool answered = ::write(go[0][1], &token, 1) == 1 && ::write(go[1][1], &token, 1) == 1;
        for (unsigned half = 0; half < 2 && answered; ++half) {
            char failures = 0;
            answered = ::read(done[half][0], &failures, 1) == 1;
            result.failed_calls += static_cast<unsigned>(failures);
        }
        uint64_t outputs = 0;
        if (!answered || KDX7400_DO_ReadValue(module, &outputs) != RESULT_OK) {
            ++result.failed_calls;
            break;
        }
        result.lost_bits += static_cast<unsigned>(64 - __builtin_popcountll(outputs));
        ++result.rounds;
    }
    for (unsigned half = 0; half < 2; ++half) {
        ::close(go[half][1]);
        ::close(done[half][0]);
        ::waitpid(children[half], nullptr, 0);
    }
    return result;
}

} // namespace kdxtest
