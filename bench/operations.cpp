// SPDX-License-Identifier: MIT
// Every register operation beside a bare SG_IO loop sending the same
// commands, against an in-process stand-in for the kernel that answers at
// once, so that only the library's own work differs between the two.
//   operations                         Google Benchmark timings
//   operations --instructions N        under callgrind: one dump per
//                                      operation and per bare loop, N calls each
//   operations --syscalls N            the kernel calls of each operation per
//                                      call (SG_IO and flock), as JSON
#include "../tests/operations.h"
#include "../tests/fake_sg_node.h"

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

namespace {

constexpr uint8_t kChannels = 64; // the widest fields: the most decoding
long g_sg_io = 0;
long g_flock = 0;
std::array<uint8_t, 512> g_reply{};

void prepare_reply() {
    add_IDENTIFY_HEADER(g_reply.data());
    g_reply[72] = kChannels; // inputs
    g_reply[73] = kChannels; // outputs
}

} // namespace

// The kernel's side of SG_IO, as cheap as it can be.
int fake_sg_node::answer(sg_io_hdr_t *h) {
    ++g_sg_io;
    const auto *cdb = static_cast<const uint8_t *>(h->cmdp);
    h->status = 0;
    h->host_status = 0;
    h->driver_status = 0;
    h->resid = 0;
    h->masked_status = 0;
    h->sb_len_wr = 0;
    if (h->dxfer_direction != SG_DXFER_FROM_DEV) {
        return 0;
    }
    auto *data = static_cast<uint8_t *>(h->dxferp);
    const size_t length = h->dxfer_len < g_reply.size() ? h->dxfer_len : g_reply.size();
    if (cdb[0] == 0x25) { // READ CAPACITY(10): 4096 blocks of 512
        const uint8_t capacity[8] = {0, 0, 0x0F, 0xFF, 0, 0, 2, 0};
        std::memcpy(data, capacity, sizeof capacity);
    } else if (cdb[0] == 0x12) { // INQUIRY
        std::memset(data, ' ', length);
        std::memcpy(data + 8, "KALMIR  KDX-7401", 16);
    } else {
        std::memcpy(data, g_reply.data(), length);
    }
    return 0;
}

// The module lock's cross-process half, counted and then made for real.
extern "C" int flock(int fd, int operation) {
    ++g_flock;
    return static_cast<int>(syscall(SYS_flock, fd, operation));
}

namespace {

// The commands of one operation sent by hand: READ(10) or WRITE(10) of 64
// bytes each, through the same ioctl.
class BareCommands {
public:
    explicit BareCommands(const char *commands) {
        for (const char *c = commands; *c != '\0'; ++c) {
            sg_io_hdr_t h{};
            h.interface_id = 'S';
            h.cmd_len = 10;
            h.mx_sb_len = sizeof sense_;
            h.sbp = sense_;
            h.timeout = 5000;
            h.dxfer_len = 64;
            h.dxferp = buffer_;
            h.cmdp = *c == 'W' ? write_cdb_ : read_cdb_;
            h.dxfer_direction = *c == 'W' ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
            headers_[count_++] = h;
        }
    }
    bool run() {
        for (std::size_t i = 0; i < count_; ++i) {
            if (ioctl(fake_sg_node::g_descriptor, SG_IO, &headers_[i]) != 0) return false;
        }
        return true;
    }

private:
    uint8_t read_cdb_[10] = {0x28, 0, 0, 0, 0x10, 0, 0, 0, 1, 0};
    uint8_t write_cdb_[10] = {0x2A, 0, 0, 0, 0x10, 0, 0, 0, 1, 0};
    uint8_t sense_[32] = {};
    uint8_t buffer_[64] = {};
    std::array<sg_io_hdr_t, 4> headers_{};
    std::size_t count_ = 0;
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

void bare_call(benchmark::State &state, const char *commands) {
    BareCommands bare(commands);
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
        BareCommands bare(op.commands);
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
    prepare_reply();
    g_module = KDX7400_OpenDevicePath("/dev/sg0");
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
        benchmark::RegisterBenchmark((std::string("bare/") + op.name).c_str(), bare_call, op.commands);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
