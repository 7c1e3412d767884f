// SPDX-License-Identifier: MIT
// The daemon's Modbus request handling, from the bytes of a frame to the
// bytes of its answer, against the virtual module in memory, with its
// channel counts and transfer failures chosen by the fuzzer. Invariants:
// a read writes nothing, a refused request writes nothing, the answer is
// one whole frame for the same transaction and function, and nothing
// escapes serve().
#include "front/modbus/modbus_map.h"
#include "input.h"
#include "sg_in_process.h"

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
    void counters_cleared(uint64_t) override {}
    void settings_written(const kdxd::service::Settings &) override {}
    void watchdog_cleared() override {}
};


// Spent input never fails a command.
fuzzing::Input g_input{nullptr, 0, 0xFF};
unsigned g_writes = 0;

uint8_t next_byte() { return g_input.next(); }

// One command in 32 fails, as the fuzzer decides; writes that reach the
// module are counted.
std::optional<kdxsim::Fault> fail_or_count(const sg_io_hdr_t &h) {
    if (next_byte() < 8) {
        kdxsim::Fault fault;
        fault.kind = kdxsim::FaultKind::IoctlError;
        fault.error = EIO;
        return fault;
    }
    if (h.dxfer_direction == SG_DXFER_TO_DEV) ++g_writes;
    return std::nullopt;
}

[[noreturn]] void broken(const char *what, unsigned function, unsigned address, unsigned count) {
    std::fprintf(stderr, "invariant broken: %s (function %u, address %u, count %u, %u writes)\n",
                 what, function, address, count, g_writes);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kdxd::modbus;
    if (size < 3) return 0;
    static constexpr uint8_t kCounts[] = {0, 8, 16, 24, 32, 64, 70};
    kdxsim::in_process::plug("do=" + std::to_string(kCounts[data[0] % sizeof kCounts]) +
                             ",di=" + std::to_string(kCounts[data[1] % sizeof kCounts]));
    // The frame first, then the bytes that decide which commands fail.
    const size_t frame_size = std::min<size_t>(size - 3, data[2] + kHeader);
    const std::span<const uint8_t> stream(data + 3, frame_size);
    const fuzzing::Input failures{data + 3 + frame_size, size - 3 - frame_size, 0xFF};

    const long length = frame_length(stream);
    if (length <= 0) return 0;
    static Request request;
    static Reply reply;
    reply = Reply{};
    reply.exception = decode(stream.first(static_cast<size_t>(length)), request);
    const unsigned function = request.function, address = request.address, count = request.count;

    kdxsim::in_process::g_before = nullptr; // opening never fails
    std::error_code code;
    kdx::Module module = kdx::Module::open_node(kdxsim::in_process::kNode, code);
    if (!module) broken("the virtual module did not open", function, address, count);
    g_input = failures;
    kdxsim::in_process::g_before = fail_or_count;
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
