// SPDX-License-Identifier: MIT
// kdx7400d's Modbus front end beside two floors, side by side in one run:
// a one-thread libmodbus gateway making the library's calls for each
// request on the same virtual module (the honest floor, against which the
// goals are set), and a bare libmodbus server answering from memory (what
// any gateway's framing costs). Requests per second and p50/p99 latency of
// FC 1, 2, 3, 4, 5, 15 and 16 with 1, 8 and 32 clients (libmodbus clients,
// one thread and connection each): each figure the median of at least 5
// rounds, the ratios against the goals with their spread and a verdict,
// the load average, and the daemon's memory idle and under load.
// Usage: modbus_latency DAEMON_PORT DAEMON_PID GATEWAY_PORT BARE_PORT REQUESTS [ROUNDS]
#include <modbus/modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
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

// The daemon's goals against the gateway floor: p50 and p99 with one
// client, the rate with 8 and 32.
constexpr double kP50Goal = 1.1, kP99Goal = 2.0, kRateGoal = 1.0;
// A machine busier than this before the run makes no verdict.
constexpr double kLoadLimit = 1.0;

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

// The 1-minute load average, as the kernel gives it.
double load_average() {
    std::ifstream file("/proc/loadavg");
    double load = -1;
    file >> load;
    return load;
}

struct Spread {
    double median, low, high;
};

std::string machine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string model = "unknown CPU";
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " CPUs";
}

std::string today() {
    char text[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof text, "%Y-%m-%d", std::gmtime(&now));
    return text;
}

Spread spread_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.front(), values.back()};
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: modbus_latency DAEMON_PORT DAEMON_PID GATEWAY_PORT BARE_PORT REQUESTS [ROUNDS]\n");
        return 2;
    }
    const std::string daemon = argv[1], pid = argv[2], gateway = argv[3], bare = argv[4];
    const int requests = std::atoi(argv[5]);
    const int rounds = std::max(5, argc == 7 ? std::atoi(argv[6]) : 5);
    const long idle_kib = status_kib(pid, "VmRSS");
    // Load from others before the run: above this, a ratio says more of
    // the machine than of the daemon.
    const double load_before = load_average();
    const bool measurable = load_before <= kLoadLimit;
    std::printf("medians of %d rounds, servers in a rotating order; load average %.2f before the run\n", rounds,
                load_before);
    std::printf("%-5s%8s %24s %24s %24s  %-44s\n", "", "clients", "bare: req/s  p50  p99 ms", "gateway: req/s  p50  p99",
                "kdx7400d: req/s  p50  p99", "vs gateway, median (low-high): p50x p99x ratex");
    // The README's table, when asked for: written from this run only.
    const char *markdown_path = std::getenv("KDX7400_BENCH_MARKDOWN");
    std::string markdown =
        "| FC | clients | gateway p50 / p99 ms, req/s | kdx7400d p50 / p99 ms, req/s | p50 | p99 | rate | verdict |\n"
        "|---|---|---|---|---|---|---|---|\n";
    int met = 0, missed = 0, rows = 0;
    // KDX7400_BENCH_FUNCTIONS=1,5 measures only those (a closer look at a row).
    const char *only = std::getenv("KDX7400_BENCH_FUNCTIONS");
    for (const int function : {1, 2, 3, 4, 5, 15, 16}) {
        if (only != nullptr && ("," + std::string(only) + ",").find("," + std::to_string(function) + ",") ==
                                   std::string::npos) {
            continue;
        }
        for (const int clients : {1, 8, 32}) {
            const std::string *servers[] = {&bare, &gateway, &daemon};
            std::vector<Figures> figures[3];
            std::vector<double> p50x, p99x, ratex;
            for (int round = 0; round < rounds; ++round) {
                // Each server first in turn, so that none has the machine
                // to itself or always comes after another's burst.
                Figures round_figures[3];
                for (int k = 0; k < 3; ++k) {
                    const int which = (round + k) % 3;
                    round_figures[which] = measure(*servers[which], function, clients, requests);
                    figures[which].push_back(round_figures[which]);
                }
                p50x.push_back(round_figures[2].p50 / round_figures[1].p50);
                p99x.push_back(round_figures[2].p99 / round_figures[1].p99);
                ratex.push_back(round_figures[2].rate / round_figures[1].rate);
            }
            const auto median = [&](int which) {
                std::vector<double> rate, p50, p99;
                for (const Figures &f : figures[which]) {
                    rate.push_back(f.rate);
                    p50.push_back(f.p50);
                    p99.push_back(f.p99);
                }
                return Figures{spread_of(rate).median, spread_of(p50).median, spread_of(p99).median};
            };
            const Figures free = median(0), base = median(1), ours = median(2);
            const Spread p50 = spread_of(p50x), p99 = spread_of(p99x), rate = spread_of(ratex);
            const bool ok = clients == 1 ? p50.median <= kP50Goal && p99.median <= kP99Goal : rate.median >= kRateGoal;
            char unmeasurable[48];
            std::snprintf(unmeasurable, sizeof unmeasurable, "not measurable: load above %.0f", kLoadLimit);
            const char *verdict = !measurable ? unmeasurable : ok ? "met" : "missed";
            met += measurable && ok;
            missed += measurable && !ok;
            ++rows;
            std::printf("FC%-3d%8d %9.0f %6.3f %6.3f %9.0f %6.3f %6.3f %9.0f %6.3f %6.3f  "
                        "%4.2f (%4.2f-%4.2f) %4.2f (%4.2f-%4.2f) %4.2f (%4.2f-%4.2f)  %s\n",
                        function, clients, free.rate, free.p50, free.p99, base.rate, base.p50, base.p99, ours.rate,
                        ours.p50, ours.p99, p50.median, p50.low, p50.high, p99.median, p99.low, p99.high, rate.median,
                        rate.low, rate.high, verdict);
            char row[400];
            std::snprintf(row, sizeof row,
                          "| %d | %d | %.3f / %.3f, %.0f | %.3f / %.3f, %.0f | %.2fx (%.2f-%.2f) | %.2fx (%.2f-%.2f) | "
                          "%.2fx (%.2f-%.2f) | %s |\n",
                          function, clients, base.p50, base.p99, base.rate, ours.p50, ours.p99, ours.rate, p50.median,
                          p50.low, p50.high, p99.median, p99.low, p99.high, rate.median, rate.low, rate.high, verdict);
            markdown += row;
        }
    }
    std::printf("goals against the gateway floor (with 1 client p50 <= %.1fx and p99 <= %.0fx, with 8 and 32 "
                "rate >= %.1fx): met in %d rows, missed in %d, not measurable in %d; load average %.2f after\n",
                kP50Goal, kP99Goal, kRateGoal, met, missed, rows - met - missed, load_average());
    const long peak_kib = status_kib(pid, "VmHWM");
    std::printf("kdx7400d memory: %ld KiB resident idle, %ld KiB at most under up to 32 clients\n", idle_kib, peak_kib);
    if (markdown_path != nullptr) {
        char summary[600];
        std::snprintf(summary, sizeof summary,
                      "\nMeasured by `scripts/bench` on %s, %s, load average %.2f before the run and %.2f after; "
                      "each figure the median of %d rounds in a rotating order, the ratios' spread in brackets. "
                      "Goals against the gateway: with one client p50 at most %.1fx and p99 at most %.0fx, with 8 "
                      "and 32 clients throughput at least %.1fx: met in %d rows, missed in %d, not measurable in %d. "
                      "kdx7400d's memory: %.1f MiB resident idle, at most %.1f MiB under 32 clients.\n",
                      today().c_str(), machine().c_str(), load_before, load_average(), rounds, kP50Goal, kP99Goal,
                      kRateGoal, met, missed, rows - met - missed, static_cast<double>(idle_kib) / 1024, static_cast<double>(peak_kib) / 1024);
        std::ofstream(markdown_path) << markdown << summary;
    }
    return 0;
}
