// SPDX-License-Identifier: MIT
// Preloaded into a running program: counts the heap allocations that the
// program itself or libkdx7400 makes (attributed by backtrace to the first
// frame outside the C and C++ runtimes), leaving out the simulator's own.
// SIGUSR2 writes "allocations N" to stderr, so that a test can count what
// a burst of requests allocated after warm-up.
#include "malloc_hooks.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>


namespace {

std::atomic<unsigned long> g_ours{0};
std::atomic<bool> g_ready{false};
bool g_trace = false; // KDX7400_ALLOC_TRACE: name where each one is made
thread_local bool t_in_hook = false;

bool runtime(const char *object) {
    for (const char *name : {"libc.so", "libstdc++", "libgcc_s", "ld-linux", "alloc_counter"}) {
        if (std::strstr(object, name) != nullptr) return true;
    }
    return false;
}

void noted_allocation() {
    if (!g_ready || t_in_hook) {
        return;
    }
    t_in_hook = true;
    void *frames[32];
    const int depth = backtrace(frames, 32);
    for (int i = 1; i < depth; ++i) {
        Dl_info info{};
        if (dladdr(frames[i], &info) == 0 || info.dli_fname == nullptr || runtime(info.dli_fname)) {
            continue;
        }
        if (std::strstr(info.dli_fname, "kdx7400-sim") == nullptr) {
            ++g_ours;
            if (g_trace) {
                char line[256];
                const int n = std::snprintf(line, sizeof line, "allocated in %s\n",
                                            info.dli_sname != nullptr ? info.dli_sname : info.dli_fname);
                [[maybe_unused]] const ssize_t w = ::write(STDERR_FILENO, line, static_cast<size_t>(n));
            }
        }
        break;
    }
    t_in_hook = false;
}

void report(int) {
    char line[64];
    const int n = std::snprintf(line, sizeof line, "allocations %lu\n", g_ours.load());
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, static_cast<size_t>(n));
}

__attribute__((constructor)) void start() {
    void *warm[4];
    backtrace(warm, 4); // loads its unwinder now, not inside malloc
    std::signal(SIGUSR2, report);
    g_trace = std::getenv("KDX7400_ALLOC_TRACE") != nullptr;
    g_ready = true;
}

} // namespace

void malloc_hooks::note_allocation() { noted_allocation(); }
