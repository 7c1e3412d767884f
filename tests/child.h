// SPDX-License-Identifier: MIT
// A forked child of a test dies with the test: one left behind (stopped,
// or waiting for a parent that failed early) would hold ctest's output
// pipe open, and ctest would wait for it for ever.
#pragma once

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace kdxtest {

inline pid_t fork_child() {
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(125); // the test ended before the signal was set up
        }
    }
    return child;
}

} // namespace kdxtest
