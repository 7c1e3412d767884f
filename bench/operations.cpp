// SPDX-License-Identifier: MIT
// Every register operation beside a bare SG_IO loop sending the same
// commands, against the virtual module in memory (the sim's sg driver and
// module model), so that only the library's own work differs between the two.
//   operations                         Google Benchmark timings
//   operations --instructions N        under callgrind: one dump per
//                                      operation and per bare loop, N calls each
//   operations --syscalls N            the kernel calls of each operation per
//                                      call (SG_IO and flock), as JSON
#include "../tests/operations.h"
#include "sg_in_process.h"

#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <scsi/sg.h>
#include <string>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

long g_sg_io = 0;
long g_flock = 0;

// One command as the library sent it, to be sent again by hand.
struct Recorded {
    std::array<uint8_t, 16> cdb{};
    uint8_t cdb_length = 0;
    int direction = SG_DXFER_NONE;
    std::vector<uint8_t> data;
};
std::vector<Recorded> *g_recording = nullptr;

void count_and_record() {
    kdxsim::in_process::g_before = [](const sg_io_hdr_t &h) -> std::optional<kdxsim::Fault> {
        ++g_sg_io;
        if (g_recording != nullptr) {
            Recorded command;
            command.cdb_length = h.cmd_len;
            std::memcpy(command.cdb.data(), h.cmdp, std::min<std::size_t>(h.cmd_len, command.cdb.size()));
            command.direction = h.dxfer_direction;
            const auto *bytes = static_cast<const uint8_t *>(h.dxferp);
            command.data.assign(bytes, bytes + h.dxfer_len);
            g_recording->push_back(std::move(command));
        }
        return std::nullopt;
    };
}

} // namespace

// The module lock's cross-process half, counted and then made for real.
extern "C" int flock(int fd, int operation) {
    ++g_flock;
    return static_cast<int>(syscall(SYS_flock, fd, operation));
}

namespace {

// The commands of one operation sent by hand: the same READ(10) and
// WRITE(10) the library sent (recorded from one call), through the same
// ioctl to the same module, so that only the library's own work differs.
class BareCommands {
public:
    BareCommands(const kdxops::Operation &op, int32_t module) {
        kdxops::Outs outs;
        g_recording = &commands_;
        op.call(module, outs);
        g_recording = nullptr;
        for (Recorded &command : commands_) {
            sg_io_hdr_t h{};
            h.interface_id = 'S';
            h.cmd_len = command.cdb_length;
            h.cmdp = command.cdb.data();
            h.mx_sb_len = sizeof sense_;
            h.sbp = sense_;
            h.timeout = 5000;
            h.dxfer_direction = command.direction;
            h.dxfer_len = static_cast<unsigned>(command.data.size());
            h.dxferp = command.data.data();
            headers_.push_back(h);
        }
    }
    bool run() {
        for (sg_io_hdr_t &h : headers_) {
            if (ioctl(kdxsim::in_process::g_descriptor, SG_IO, &h) != 0) return false;
        }
        return true;
    }

private:
    std::vector<Recorded> commands_;
    std::vector<sg_io_hdr_t> headers_;
    uint8_t sense_[32] = {};
};

int32_t g_module = -1;

void library_call(benchmark::State &state, const kdxops::Operation &op) {
    kdxops::Outs outs;
    for (auto _ : state) {
        if (op.call(g_module, outs) != RESULT_OK) {
            state.SkipWithError("the operation failed");
            break;
        }
        benchmark::DoNotOptimize(outs);
    }
    state.counters["commands"] = static_cast<double>(std::strlen(op.commands));
}

void bare_call(benchmark::State &state, const kdxops::Operation &op) {
    BareCommands bare(op, g_module);
    for (auto _ : state) {
        if (!bare.run()) {
            state.SkipWithError("SG_IO failed");
            break;
        }
    }
}

// Whether the library loaded (perhaps an older baseline) has the operation.
bool present(const kdxops::Operation &op) {
    const std::string name = op.name;
    const std::string symbol = name == "setopcode" || name == "getopcode" ? name : "KDX7400_" + name;
    return dlsym(RTLD_DEFAULT, symbol.c_str()) != nullptr;
}

// Under callgrind: one dump of N calls per operation and per bare loop.
void count_instructions(long calls) {
    for (const kdxops::Operation &op : kdxops::operations()) {
        if (!present(op)) continue;
        kdxops::Outs outs;
        BareCommands bare(op, g_module);
        op.call(g_module, outs); // first calls bind symbols; not counted
        bare.run();
        const std::string library_label = std::string("library ") + op.name;
        const std::string bare_label = std::string("bare ") + op.name;
        CALLGRIND_ZERO_STATS;
        for (long i = 0; i < calls; ++i) op.call(g_module, outs);
        CALLGRIND_DUMP_STATS_AT(library_label.c_str());
        for (long i = 0; i < calls; ++i) bare.run();
        CALLGRIND_DUMP_STATS_AT(bare_label.c_str());
    }
}

// The kernel calls each operation makes per call, the lock's included.
void count_syscalls(long calls) {
    std::printf("{");
    const char *separator = "";
    for (const kdxops::Operation &op : kdxops::operations()) {
        if (!present(op)) continue;
        kdxops::Outs outs;
        g_sg_io = g_flock = 0;
        for (long i = 0; i < calls; ++i) op.call(g_module, outs);
        std::printf("%s\"%s\": [%.2f, %.2f]", separator, op.name, static_cast<double>(g_sg_io) / static_cast<double>(calls),
                    static_cast<double>(g_flock) / static_cast<double>(calls));
        separator = ", ";
    }
    std::printf("}\n");
}

} // namespace

int main(int argc, char **argv) {
    // The widest fields: the most decoding.
    kdxsim::in_process::plug("di=64,do=64");
    count_and_record();
    g_module = KDX7400_OpenDevicePath(kdxsim::in_process::kNode);
    if (g_module < 0) {
        std::fprintf(stderr, "operations: the stand-in module did not open (%d)\n", g_module);
        return 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "--syscalls") == 0) {
        count_syscalls(std::strtol(argv[2], nullptr, 10));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--instructions") == 0) {
        count_instructions(std::strtol(argv[2], nullptr, 10));
        return 0;
    }
    for (const kdxops::Operation &op : kdxops::operations()) {
        benchmark::RegisterBenchmark((std::string("library/") + op.name).c_str(), library_call, op);
        benchmark::RegisterBenchmark((std::string("bare/") + op.name).c_str(), bare_call, op);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
