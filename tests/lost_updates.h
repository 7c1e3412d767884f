// SPDX-License-Identifier: MIT
// The program probe: two or more processes, each switching its own share
// of one 64-output module's outputs on, one DO_WriteChannel at a time,
// while the others do the same. Every round starts from all-off; a bit
// still off at the end of a round is an update another process undid.
#pragma once

#include "child.h"
#include "kdx7400.h"

#include <cstdint>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace kdxtest {

struct ProbeResult {
    unsigned rounds = 0;     // rounds every process completed
    unsigned lost_bits = 0;  // outputs off at the end of those rounds
    unsigned failed_calls = 0;
};

namespace detail {

// A child: opens its own module (its own open file, so its own flock),
// then per byte on `go` switches its share of the 64 outputs on and
// answers on `done`.
[[noreturn]] inline void probe_child(const std::function<int32_t()> &open, unsigned first, unsigned count,
                                     int go, int done) {
    const int32_t module = open();
    char token = 0;
    while (::read(go, &token, 1) == 1) {
        char failures = 0;
        for (unsigned channel = first; channel < first + count; ++channel) {
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
// opens the same module anew in each of `programs` children (1 to 8),
// which share the 64 outputs between them.
inline ProbeResult process_probe(int32_t module, const std::function<int32_t()> &open, unsigned rounds,
                                 unsigned programs = 2) {
    constexpr unsigned kMost = 8;
    ProbeResult result;
    if (programs == 0 || programs > kMost) {
        return result;
    }
    const unsigned share = 64 / programs;
    int go[kMost][2], done[kMost][2];
    for (unsigned p = 0; p < programs; ++p) {
        if (::pipe(go[p]) != 0 || ::pipe(done[p]) != 0) {
            return result;
        }
    }
    pid_t children[kMost];
    for (unsigned p = 0; p < programs; ++p) {
        children[p] = kdxtest::fork_child();
        if (children[p] == 0) {
            // Only its own ends stay open, so that each child sees the
            // end of its pipe when the parent closes it.
            for (unsigned other = 0; other < programs; ++other) {
                ::close(go[other][1]);
                ::close(done[other][0]);
                if (other != p) {
                    ::close(go[other][0]);
                    ::close(done[other][1]);
                }
            }
            detail::probe_child(open, share * p, share, go[p][0], done[p][1]);
        }
    }
    for (unsigned p = 0; p < programs; ++p) {
        ::close(go[p][0]);
        ::close(done[p][1]);
    }
    const unsigned bits = share * programs;
    for (unsigned round = 0; round < rounds; ++round) {
        if (KDX7400_DO_WriteValue(module, 0) != RESULT_OK) {
            ++result.failed_calls;
            break;
        }
        const char token = 1;
        bool answered = true;
        for (unsigned p = 0; p < programs && answered; ++p) {
            answered = ::write(go[p][1], &token, 1) == 1;
        }
        for (unsigned p = 0; p < programs && answered; ++p) {
            char failures = 0;
            answered = ::read(done[p][0], &failures, 1) == 1;
            result.failed_calls += static_cast<unsigned>(failures);
        }
        uint64_t outputs = 0;
        if (!answered || KDX7400_DO_ReadValue(module, &outputs) != RESULT_OK) {
            ++result.failed_calls;
            break;
        }
        result.lost_bits += static_cast<unsigned>(bits - __builtin_popcountll(outputs));
        ++result.rounds;
    }
    for (unsigned p = 0; p < programs; ++p) {
        ::close(go[p][1]);
        ::close(done[p][0]);
        ::waitpid(children[p], nullptr, 0);
    }
    return result;
}

} // namespace kdxtest
