// SPDX-License-Identifier: MIT
// Requests per second and p50/p99 latency of FC 1, 2 and 5 through
// kdx7400-modbusd (libmodbus clients, one thread and connection each) with
// 1, 8 and 32 clients, beside the same calls made directly through the
// library on the same virtual module, in one run.
// Usage: modbus_latency PORT REQUESTS   (run with the sim preloaded)
#include "kdx7400.hpp"

#include <modbus/modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double rate, p50, p99;
};

// Runs workers threads, each making its share of requests with the call
// that make() gives it, and collects every latency.
Figures measure(int workers, int requests, const std::function<std::function<bool()>()> &make) {
    std::vector<double> all;
    std::mutex lock;
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            const std::function<bool()> call = make();
            std::vector<double> mine;
            for (int i = 0; i < std::max(1, requests / workers); ++i) {
                const auto t0 = Clock::now();
                if (!call()) {
                    std::fprintf(stderr, "a request failed\n");
                    std::exit(1);
                }
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
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

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: modbus_latency PORT REQUESTS\n");
        return 2;
    }
    const std::string port = argv[1];
    const int requests = std::atoi(argv[2]);
    kdx::Module module = kdx::Module::open(0x7401, 3);
    const char *names[] = {"FC1", "FC2", "FC5"};
    std::printf("%-6s%8s %28s %34s\n", "", "clients", "direct: req/s  p50  p99 ms", "gateway: req/s  p50  p99 ms  +p99");
    for (int fc = 0; fc < 3; ++fc) {
        for (const int workers : {1, 8, 32}) {
            const Figures direct = measure(workers, requests, [&]() -> std::function<bool()> {
                if (fc == 0) return [&] { std::error_code c; module.read_outputs(c); return !c; };
                if (fc == 1) return [&] { std::error_code c; module.read_inputs(c); return !c; };
                return [&] { std::error_code c; module.write_output(0, true, c); return !c; };
            });
            std::vector<modbus_t *> contexts;
            std::mutex contexts_lock;
            const Figures gateway = measure(workers, requests, [&]() -> std::function<bool()> {
                modbus_t *ctx = modbus_new_tcp_pi("127.0.0.1", port.c_str());
                modbus_set_slave(ctx, 1);
                if (modbus_connect(ctx) != 0) {
                    std::fprintf(stderr, "cannot connect: %s\n", modbus_strerror(errno));
                    std::exit(1);
                }
                {
                    std::lock_guard guard(contexts_lock);
                    contexts.push_back(ctx);
                }
                return [ctx, fc] {
                    uint8_t bits[16];
                    if (fc == 0) return modbus_read_bits(ctx, 0, 16, bits) == 16;
                    if (fc == 1) return modbus_read_input_bits(ctx, 0, 16, bits) == 16;
                    return modbus_write_bit(ctx, 0, 1) == 1;
                };
            });
            for (modbus_t *ctx : contexts) {
                modbus_close(ctx);
                modbus_free(ctx);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::printf("%-6s%8d %10.0f %7.3f %7.3f   %10.0f %7.3f %7.3f %7.3f\n", names[fc], workers,
                        direct.rate, direct.p50, direct.p99, gateway.rate, gateway.p50, gateway.p99,
                        gateway.p99 - direct.p99);
        }
    }
    return 0;
}
