// SPDX-License-Identifier: MIT
// The input watcher against its goals, on a virtual module (run under
// kdx7400-sim's preload, with KDX7400_SIM_TESTBED set):
//   watch latency DIR NODE INTERVAL_MS N   change to arrival at a C++ consumer
//   watch cpu DIR NODE INTERVAL_MS SECONDS a watcher's share of one core
//   watch count DIR NODE INTERVAL_MS MS    pulses on input 0 seen in MS ms
//   watch flipper DIR NODE                 for each line read: flip input 0 (an
//                                          empty line) or set the inputs to its
//                                          hex value; print CLOCK_MONOTONIC in ns
#include "kdx7400.hpp"
#include "testbed.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int latency(const kdxsim::Testbed &bed, const std::string &node, std::chrono::milliseconds interval, int n) {
    kdx::Module module = kdx::Module::open(0x7401, 0);
    kdx::InputWatcher watcher(module, interval);
    std::vector<double> ms;
    uint64_t levels = 0;
    for (int i = 0; i < n; ++i) {
        // Changes at random moments of the sampling period.
        std::this_thread::sleep_for(std::chrono::microseconds(1000 + (i * 7919) % (interval.count() * 1000)));
        levels ^= 1;
        const auto changed = Clock::now();
        bed.set_inputs(node, levels);
        if (!watcher.wait(std::chrono::seconds(5))) {
            std::cerr << "watch: no event\n";
            return 1;
        }
        const auto arrived = Clock::now();
        watcher.read_events();
        ms.push_back(std::chrono::duration<double, std::milli>(arrived - changed).count());
    }
    std::sort(ms.begin(), ms.end());
    const double p50 = ms[ms.size() / 2], p99 = ms[ms.size() * 99 / 100];
    std::printf("C++ consumer   interval %3lld ms  p50 %6.2f ms  p99 %6.2f ms  goal p99 <= %lld ms: %s\n",
                static_cast<long long>(interval.count()), p50, p99, static_cast<long long>(interval.count() + 2),
                p99 <= static_cast<double>(interval.count() + 2) ? "met" : "NOT met");
    return 0;
}

int cpu(std::chrono::milliseconds interval, int seconds) {
    kdx::Module module = kdx::Module::open(0x7401, 0);
    const double before = cpu_seconds();
    {
        kdx::InputWatcher watcher(module, interval);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
    }
    const double share = 100.0 * (cpu_seconds() - before) / seconds;
    std::printf("C++ watcher    interval %3lld ms  %.2f %% of a core  goal < 2 %%: %s\n",
                static_cast<long long>(interval.count()), share, share < 2.0 ? "met" : "NOT met");
    return 0;
}

int count(std::chrono::milliseconds interval, int ms) {
    kdx::Module module = kdx::Module::open(0x7401, 0);
    kdx::InputWatcher watcher(module, interval);
    uint64_t pulses = 0;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        watcher.wait(std::chrono::milliseconds(100));
        for (const kdx::InputEvent &event : watcher.read_events()) {
            pulses += event.kind == kdx::InputEvent::Kind::pulses && event.channel == 0 ? event.count : 0;
        }
    }
    std::printf("%llu\n", static_cast<unsigned long long>(pulses));
    return 0;
}

int flipper(const kdxsim::Testbed &bed, const std::string &node) {
    uint64_t levels = 0;
    for (std::string line; std::getline(std::cin, line);) {
        // An empty line flips input 0; a hexadecimal one sets every input.
        levels = line.empty() ? levels ^ 1 : std::stoull(line, nullptr, 16);
        const int64_t at = monotonic_ns();
        bed.set_inputs(node, levels);
        std::printf("%lld\n", static_cast<long long>(at));
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::cerr << "usage: watch latency|cpu|count|flipper DIR NODE [INTERVAL_MS N]\n";
        return 2;
    }
    const std::string what = argv[1];
    const kdxsim::Testbed bed(argv[2], false);
    const std::string node = argv[3];
    const auto interval = std::chrono::milliseconds(argc > 4 ? std::stol(argv[4]) : 10);
    const int n = argc > 5 ? std::stoi(argv[5]) : 200;
    try {
        if (what == "latency") return latency(bed, node, interval, n);
        if (what == "cpu") return cpu(interval, n);
        if (what == "count") return count(interval, n);
        if (what == "flipper") return flipper(bed, node);
    } catch (const std::exception &error) {
        std::cerr << "watch: " << error.what() << "\n";
        return 1;
    }
    std::cerr << "watch: unknown '" << what << "'\n";
    return 2;
}
