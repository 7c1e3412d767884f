// SPDX-License-Identifier: MIT
// The Modbus gateway's request handling: any function, address, count and
// values against a module that remembers what was written to it, with
// counts and transfer failures chosen by the fuzzer. Invariants: a read
// writes nothing, a refused request writes nothing, a successful read
// answers exactly the count asked, and nothing escapes serve().
#include "../tools/kdx7400-modbusd/map.h"
#include "../tests/fake_sg_node.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <scsi/sg.h>
#include <vector>

namespace {

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
    if (size < 8) return 0;
    static constexpr uint8_t kCounts[] = {0, 8, 16, 24, 32, 64, 70};
    g_data = data + 8;
    g_size = size - 8;
    g_do_count = kCounts[data[0] % sizeof kCounts];
    g_di_count = kCounts[data[1] % sizeof kCounts];
    g_registers.clear();
    const uint8_t function = data[2] % 18;
    const auto address = static_cast<uint16_t>(data[3] | data[4] << 8);
    const auto count = static_cast<uint16_t>((data[5] | data[6] << 8) % 130);
    std::vector<uint16_t> values;
    for (unsigned i = 0; i < data[7] % 40 && g_size >= 2; ++i) {
        values.push_back(static_cast<uint16_t>(next_byte() << 8 | next_byte()));
    }

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

    const modbusd::Reply reply = modbusd::serve(module, function, address, count, values);
    using modbusd::Exception;
    if (!modbusd::is_write(function) && g_writes != 0) {
        broken("a read wrote to the module", function, address, count);
    }
    const bool refused = reply.exception == Exception::IllegalAddress ||
                         reply.exception == Exception::IllegalValue ||
                         reply.exception == Exception::IllegalFunction;
    if (refused && g_writes != 0) broken("a refused request wrote to the module", function, address, count);
    if (reply.exception == Exception::None) {
        const bool bits = function == modbusd::kReadCoils || function == modbusd::kReadDiscreteInputs;
        const bool registers = function == modbusd::kReadHolding || function == modbusd::kReadInput;
        if (bits && reply.bits.size() != count) broken("wrong number of bits", function, address, count);
        if (registers && reply.registers.size() != count) {
            broken("wrong number of registers", function, address, count);
        }
    } else if (!reply.bits.empty() || !reply.registers.empty()) {
        broken("an exception carries values", function, address, count);
    }
    return 0;
}
