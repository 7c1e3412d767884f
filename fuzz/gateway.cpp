// SPDX-License-Identifier: MIT
// The daemon's Modbus request handling, from the bytes of a frame to the
// bytes of its answer, against a module that remembers what was written to
// it, with counts and transfer failures chosen by the fuzzer. Invariants:
// a read writes nothing, a refused request writes nothing, the answer is
// one whole frame for the same transaction and function, and nothing
// escapes serve().
#include "../tools/kdx7400d/modbus_map.h"
#include "../tests/fake_sg_node.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <scsi/sg.h>
#include <vector>
#include <array>
#include <algorithm>
#include <span>

namespace {

// The events a request would cause: no worker listens here.
class Unobserved final : public kdxd::service::Observer {
public:
    void outputs_are(uint64_t, bool) override {}
    void renamed(const std::string &) override {}
    void watchdog_is(uint32_t) override {}
};


const uint8_t *g_data = nullptr;
size_t g_size = 0;
uint8_t g_do_count = 16, g_di_count = 16;
unsigned g_writes = 0;
std::map<uint32_t, std::vector<uint8_t>> g_registers;

uint8_t next_byte() {
    if (g_size == 0) return 0xFF;
    const uint8_t b = *g_data;
    ++g_data;
    --g_size;
    return b;
}

uint32_t lba_of(const uint8_t *cdb) {
    return uint32_t{cdb[2]} << 24 | uint32_t{cdb[3]} << 16 | uint32_t{cdb[4]} << 8 | cdb[5];
}

void module_reply(const uint8_t *cdb, uint8_t *out, size_t length) {
    std::vector<uint8_t> reply(length < 512 ? 512 : length, 0);
    if (cdb[0] == 0x25) { // READ CAPACITY(10): 4096 blocks of 512
        const uint8_t capacity[8] = {0, 0, 0x0F, 0xFF, 0, 0, 2, 0};
        std::memcpy(reply.data(), capacity, 8);
    } else if (cdb[0] == 0x12) {
        std::memcpy(reply.data() + 8, "KALMIR  KDX-7401      #0", 24);
    } else if (cdb[0] == 0x28) {
        const uint32_t lba = lba_of(cdb);
        const auto stored = g_registers.find(lba);
        if (stored != g_registers.end()) {
            std::memcpy(reply.data(), stored->second.data(), std::min(stored->second.size(), length));
        }
        add_IDENTIFY_HEADER(reply.data());
        if (lba == LBA_MODULE_INFO) {
            reply[72] = g_di_count;
            reply[73] = g_do_count;
        }
    }
    std::memcpy(out, reply.data(), length);
}

[[noreturn]] void broken(const char *what, unsigned function, unsigned address, unsigned count) {
    std::fprintf(stderr, "invariant broken: %s (function %u, address %u, count %u, %u writes)\n",
                 what, function, address, count, g_writes);
    std::abort();
}

} // namespace

int fake_sg_node::answer(sg_io_hdr_t *h) {
    const auto *cdb = static_cast<const uint8_t *>(h->cmdp);
    auto *data = static_cast<uint8_t *>(h->dxferp);
    h->status = h->host_status = h->driver_status = 0;
    h->resid = 0;
    // One command in 32 fails, as the fuzzer decides.
    if (next_byte() < 8) {
        errno = EIO;
        return -1;
    }
    if (cdb[0] == 0x2A) {
        ++g_writes;
        const auto *bytes = static_cast<const uint8_t *>(h->dxferp);
        g_registers[lba_of(cdb)].assign(bytes, bytes + h->dxfer_len);
    } else if (h->dxfer_direction == SG_DXFER_FROM_DEV && data != nullptr) {
        module_reply(cdb, data, h->dxfer_len);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kdxd::modbus;
    if (size < 3) return 0;
    static constexpr uint8_t kCounts[] = {0, 8, 16, 24, 32, 64, 70};
    g_do_count = kCounts[data[0] % sizeof kCounts];
    g_di_count = kCounts[data[1] % sizeof kCounts];
    g_registers.clear();
    // The frame first, then the bytes that decide which commands fail.
    const size_t frame_size = std::min<size_t>(size - 3, data[2] + kHeader);
    const std::span<const uint8_t> stream(data + 3, frame_size);
    g_data = data + 3 + frame_size;
    g_size = size - 3 - frame_size;

    const long length = frame_length(stream);
    if (length <= 0) return 0;
    static Request request;
    static Reply reply;
    reply = Reply{};
    reply.exception = decode(stream.first(static_cast<size_t>(length)), request);
    const unsigned function = request.function, address = request.address, count = request.count;

    const uint8_t *fuzz_data = g_data;
    const size_t fuzz_size = g_size;
    g_data = nullptr; // opening never fails
    g_size = 0;
    std::error_code code;
    kdx::Module module = kdx::Module::open_node("/dev/sg0", code);
    if (!module) broken("the fake module did not open", function, address, count);
    g_data = fuzz_data;
    g_size = fuzz_size;
    g_writes = 0;

    if (reply.exception == Exception::None) {
        Unobserved nobody;
        serve(module, nobody, request, reply);
    }
    if (!is_write(request.function) && g_writes != 0) {
        broken("a read wrote to the module", function, address, count);
    }
    const bool refused = reply.exception == Exception::IllegalAddress ||
                         reply.exception == Exception::IllegalValue ||
                         reply.exception == Exception::IllegalFunction;
    if (refused && g_writes != 0) broken("a refused request wrote to the module", function, address, count);

    std::array<uint8_t, kMaxFrame> out{};
    const size_t written = encode(request, reply, out);
    if (written > kMaxFrame || frame_length({out.data(), written}) != static_cast<long>(written)) {
        broken("the answer is not one whole frame", function, address, count);
    }
    if (out[0] != data[3] || out[1] != data[4] || out[6] != request.unit) {
        broken("the answer names another transaction or unit", function, address, count);
    }
    const uint8_t expected = reply.exception == Exception::None ? request.function : (request.function | 0x80);
    if (out[7] != expected) broken("the answer names another function", function, address, count);
    return 0;
}
