// SPDX-License-Identifier: MIT
// kdx7400d's Modbus front end beside the floor of any libmodbus gateway (a
// bare libmodbus server answering from memory), side by side in one run:
// requests per second and p50/p99 latency of FC 1, 3, 5 and 15 with 1, 8
// and 32 clients (libmodbus clients, one thread and connection each), the
// ratios against the goals, and the daemon's memory idle and under load.
// Usage: modbus_latency DAEMON_PORT DAEMON_PID FLOOR_PORT REQUESTS
#include <modbus/modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double rate, p50, p99;
};

// The daemon's goals against the floor.
constexpr double kP50Goal = 1.1, kP99Goal = 1.5, kRateGoal = 0.9;

bool request(modbus_t *ctx, int function) {
    uint8_t bits[16];
    uint16_t registers[8];
    const uint8_t pattern[8] = {1, 0, 1, 0, 1, 0, 1, 0};
    switch (function) {
    case 1: return modbus_read_bits(ctx, 0, 16, bits) == 16;
    case 3: return modbus_read_registers(ctx, 0, 8, registers) == 8;
    case 5: return modbus_write_bit(ctx, 0, 1) == 1;
    default: return modbus_write_bits(ctx, 0, 8, pattern) == 8;
    }
}

Figures measure(const std::string &port, int function, int clients, int requests) {
    std::vector<double> all;
    std::mutex lock;
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            modbus_t *ctx = modbus_new_tcp_pi("127.0.0.1", port.c_str());
            modbus_set_slave(ctx, 1);
            if (modbus_connect(ctx) != 0) {
                std::fprintf(stderr, "cannot connect to %s: %s\n", port.c_str(), modbus_strerror(errno));
                std::exit(1);
            }
            std::vector<double> mine;
            for (int i = 0; i < std::max(1, requests / clients); ++i) {
                const auto t0 = Clock::now();
                if (!request(ctx, function)) {
                    std::fprintf(stderr, "FC%d failed on %s: %s\n", function, port.c_str(), modbus_strerror(errno));
                    std::exit(1);
                }
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
            modbus_close(ctx);
            modbus_free(ctx);
            std::lock_guard guard(lock);
            all.insert(all.end(), mine.begin(), mine.end());
        });
    }
    for (auto &t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(all.begin(), all.end());
    return {static_cast<double>(all.size()) / seconds, all[all.size() / 2],
            all[std::min(all.size() - 1, all.size() * 99 / 100)]};
}

long status_kib(const std::string &pid, const std::string &field) {
    std::ifstream status("/proc/" + pid + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: modbus_latency DAEMON_PORT DAEMON_PID FLOOR_PORT REQUESTS\n");
        return 2;
    }
    const std::string daemon = argv[1], pid = argv[2], floor = argv[3];
    const int requests = std::atoi(argv[4]);
    const long idle_kib = status_kib(pid, "VmRSS");
    std::printf("%-5s%8s %26s %26s %24s\n", "", "clients", "floor: req/s  p50  p99 ms", "kdx7400d: req/s  p50  p99",
                "p50x  p99x  ratex (goal)");
    int met = 0, total = 0;
    for (const int function : {1, 3, 5, 15}) {
        for (const int clients : {1, 8, 32}) {
            // Alternate, so that neither side has the machine to itself.
            const Figures base = measure(floor, function, clients, requests);
            const Figures ours = measure(daemon, function, clients, requests);
            const double p50 = ours.p50 / base.p50, p99 = ours.p99 / base.p99, rate = ours.rate / base.rate;
            const bool ok = p50 <= kP50Goal && p99 <= kP99Goal && rate >= kRateGoal;
            met += ok;
            ++total;
            std::printf("FC%-3d%8d %10.0f %7.3f %7.3f %10.0f %7.3f %7.3f %7.2f %5.2f %5.2f  %s\n", function, clients,
                        base.rate, base.p50, base.p99, ours.rate, ours.p50, ours.p99, p50, p99, rate,
                        ok ? "met" : "not met");
        }
    }
    std::printf("goals (p50 <= %.1fx, p99 <= %.1fx, rate >= %.1fx the floor's) met in %d of %d rows\n", kP50Goal,
                kP99Goal, kRateGoal, met, total);
    std::printf("kdx7400d memory: %ld KiB resident idle, %ld KiB at most under up to 32 clients\n", idle_kib,
                status_kib(pid, "VmHWM"));
    return 0;
}
