// SPDX-License-Identifier: MIT
// kdx7400d's Modbus front end beside two floors, side by side in one run:
// a one-thread libmodbus gateway making the library's calls for each
// request on the same virtual module (the honest floor, against which the
// goals are set), and a bare libmodbus server answering from memory (what
// any gateway's framing costs). Requests per second and p50/p99 latency of
// FC 1, 2, 3, 4, 5, 15 and 16 with 1, 8 and 32 clients (libmodbus clients,
// one thread and connection each), the ratios against the goals, and the
// daemon's memory idle and under load.
// Usage: modbus_latency DAEMON_PORT DAEMON_PID GATEWAY_PORT BARE_PORT REQUESTS
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

// The daemon's goals against the gateway floor: p50 with one client, the
// rate with 8 and 32.
constexpr double kP50Goal = 1.1, kRateGoal = 1.0;

bool request(modbus_t *ctx, int function) {
    uint8_t bits[16];
    uint16_t registers[8];
    const uint8_t pattern[8] = {1, 0, 1, 0, 1, 0, 1, 0};
    const uint16_t settings[2] = {0, 0};
    switch (function) {
    case 1: return modbus_read_bits(ctx, 0, 16, bits) == 16;
    case 2: return modbus_read_input_bits(ctx, 0, 16, bits) == 16;
    case 3: return modbus_read_registers(ctx, 0, 8, registers) == 8;
    case 4: return modbus_read_input_registers(ctx, 0, 8, registers) == 8;
    case 5: return modbus_write_bit(ctx, 0, 1) == 1;
    case 16: return modbus_write_registers(ctx, 0, 2, settings) == 2;
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
    if (argc != 6) {
        std::fprintf(stderr, "usage: modbus_latency DAEMON_PORT DAEMON_PID GATEWAY_PORT BARE_PORT REQUESTS\n");
        return 2;
    }
    const std::string daemon = argv[1], pid = argv[2], gateway = argv[3], bare = argv[4];
    const int requests = std::atoi(argv[5]);
    const long idle_kib = status_kib(pid, "VmRSS");
    std::printf("%-5s%8s %24s %24s %24s %16s\n", "", "clients", "bare: req/s  p50  p99 ms",
                "gateway: req/s  p50  p99", "kdx7400d: req/s  p50  p99", "vs gateway: p50x ratex");
    int met = 0, total = 0;
    for (const int function : {1, 2, 3, 4, 5, 15, 16}) {
        for (const int clients : {1, 8, 32}) {
            // Alternate, so that none has the machine to itself.
            const Figures free = measure(bare, function, clients, requests);
            const Figures base = measure(gateway, function, clients, requests);
            const Figures ours = measure(daemon, function, clients, requests);
            const double p50 = ours.p50 / base.p50, rate = ours.rate / base.rate;
            const bool ok = clients == 1 ? p50 <= kP50Goal : rate >= kRateGoal;
            met += ok;
            ++total;
            std::printf("FC%-3d%8d %9.0f %6.3f %6.3f %9.0f %6.3f %6.3f %9.0f %6.3f %6.3f %7.2f %5.2f  %s\n", function,
                        clients, free.rate, free.p50, free.p99, base.rate, base.p50, base.p99, ours.rate, ours.p50,
                        ours.p99, p50, rate, ok ? "met" : "not met");
        }
    }
    std::printf("goals against the gateway floor (p50 <= %.1fx with 1 client, rate >= %.1fx with 8 and 32) met in "
                "%d of %d rows\n",
                kP50Goal, kRateGoal, met, total);
    std::printf("kdx7400d memory: %ld KiB resident idle, %ld KiB at most under up to 32 clients\n", idle_kib,
                status_kib(pid, "VmHWM"));
    return 0;
}
