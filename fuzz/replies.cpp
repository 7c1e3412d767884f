// SPDX-License-Identifier: MIT
// Module replies for every getter and read-modify-write operation. The
// kernel boundary is the virtual module in memory: a healthy 16-in/16-out
// module while opening, then the fuzzer's bytes choose each command's
// fault (a failed ioctl, a bad status, sense, a short data phase, chosen
// bytes over the reply, no magic, a misreported residue). Invariants: a
// known result code, out-parameters written only on success, strings
// terminated, and no success from a reply cut short.
#include "kdx7400.h"
#include "input.h"
#include "sg_in_process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <scsi/sg.h>

namespace {

fuzzing::Input g_input;
bool g_cut_short = false; // a read moved some of its bytes, not all

uint8_t next_byte() { return g_input.next(); }

constexpr uint16_t kDidError = 0x07;

std::optional<kdxsim::Fault> fault_from_input(const sg_io_hdr_t &h) {
    kdxsim::Fault fault;
    fault.times = 1;
    const uint8_t outcome = next_byte();
    switch (outcome % 12) {
    case 0: fault.kind = kdxsim::FaultKind::IoctlError; fault.error = EIO; break;
    case 1: fault.kind = kdxsim::FaultKind::IoctlError; fault.error = ENODEV; break;
    case 2:
        fault.kind = kdxsim::FaultKind::HostStatus;
        fault.host_status = static_cast<uint16_t>(next_byte() % 12);
        fault.data_moved = (outcome & 0x10) != 0;
        break;
    case 3: fault.kind = kdxsim::FaultKind::DriverStatus; fault.driver_status = next_byte(); break;
    case 4:
        fault.kind = kdxsim::FaultKind::CheckCondition;
        fault.sense_key = next_byte() & 0x0F;
        fault.asc = next_byte();
        fault.data_moved = (outcome & 0x10) != 0;
        break;
    case 5:
    case 6: {
        fault.kind = kdxsim::FaultKind::ShortData;
        fault.length = static_cast<uint16_t>(next_byte() % (h.dxfer_len + 1));
        fault.host_status = (outcome & 0x10) != 0 ? kDidError : 0;
        const bool read = h.dxfer_direction == SG_DXFER_FROM_DEV;
        g_cut_short = g_cut_short || (read && fault.length < h.dxfer_len);
        break;
    }
    case 7:
    case 8:
        fault.kind = kdxsim::FaultKind::ChosenBytes;
        fault.offset = static_cast<uint16_t>(next_byte() % (h.dxfer_len + 1));
        fault.length = static_cast<uint16_t>(next_byte() % (sizeof fault.bytes + 1));
        for (uint16_t i = 0; i < fault.length; ++i) fault.bytes[i] = next_byte();
        break;
    case 9: fault.kind = kdxsim::FaultKind::NoMagic; break;
    case 10: fault.kind = kdxsim::FaultKind::WholeResidue; break;
    default: return std::nullopt;
    }
    return fault;
}

} // namespace

namespace {

struct Outs {
    uint64_t a = 0xA5A5A5A5A5A5A5A5ull, b = 0xA5A5A5A5A5A5A5A5ull;
    uint32_t u32 = 0xA5A5A5A5u, counters[64];
    uint16_t u16 = 0xA5A5;
    uint8_t u8 = 0xA5;
    char text[40];
    Outs() {
        std::memset(counters, 0xA5, sizeof counters);
        std::memset(text, 0xA5, sizeof text);
    }
    bool operator==(const Outs &o) const {
        return a == o.a && b == o.b && u32 == o.u32 && u16 == o.u16 && u8 == o.u8 &&
               std::memcmp(counters, o.counters, sizeof counters) == 0 &&
               std::memcmp(text, o.text, sizeof text) == 0;
    }
};

[[noreturn]] void broken(const char *what, int op, int result) {
    std::fprintf(stderr, "invariant broken: %s (operation %d, result %d)\n", what, op, result);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int32_t module = [] {
        kdxsim::in_process::plug("di=16,do=16");
        return KDX7400_OpenDevicePath(kdxsim::in_process::kNode);
    }();
    if (module < 0) {
        broken("the virtual module did not open", -1, module);
    }
    // Each input meets the module as it was opened, and chooses its faults.
    static const kdxsim::ModuleState opened = kdxsim::in_process::g_module;
    kdxsim::in_process::g_module = opened;
    kdxsim::in_process::g_before = fault_from_input;
    g_input = {data, size};
    const int op = next_byte() % 26;
    g_cut_short = false;
    kdx7400_input_state state{};
    kdx7400_input_events events{};
    Outs outs;
    const Outs pristine;
    int16_t result = 0;
    switch (op) {
    case 0: result = KDX7400_DO_ReadValue(module, &outs.a); break;
    case 1: result = KDX7400_DO_WriteChannel(module, static_cast<uint8_t>(next_byte() % 64), 1); break;
    case 2: result = KDX7400_DO_GetPowerOnEnable(module, &outs.a); break;
    case 3: result = KDX7400_DO_SetPowerOnEnableToChannel(module, static_cast<uint8_t>(next_byte() % 64), 0); break;
    case 4: result = KDX7400_DO_GetInverse(module, &outs.u8); break;
    case 5: result = KDX7400_DO_GetSafetyEnable(module, &outs.a, &outs.b); break;
    case 6: result = KDX7400_DO_SetSafetyEnableChannel(module, static_cast<uint8_t>(next_byte() % 64), 1, 0); break;
    case 7: result = KDX7400_DI_ReadValue(module, &outs.a); break;
    case 8: result = KDX7400_DI_ReadChannel(module, static_cast<uint8_t>(next_byte() % 16), &outs.u8); break;
    case 9: result = KDX7400_DI_GetFilter(module, &outs.u16); break;
    case 10: result = KDX7400_DI_GetInverse(module, &outs.u8); break;
    case 11: result = KDX7400_DI_GetCntEdgeTrigger(module, &outs.u8); break;
    case 12: result = KDX7400_DI_ReadCounterValue(module, outs.counters, 16); break;
    case 13: result = KDX7400_DI_ReadChannelCounter(module, static_cast<uint8_t>(next_byte() % 16), &outs.u32); break;
    case 14: result = KDX7400_GetFwVer(module, &outs.u16); break;
    case 15: result = KDX7400_GetFwDate(module, outs.text); break;
    case 16: result = KDX7400_GetDeviceNickName(module, outs.text); break;
    case 17: result = KDX7400_GetWriteProtect(module, &outs.u8); break;
    case 18: result = KDX7400_GetFrameRateFactor(module, &outs.u8); break;
    case 19: result = getopcode(module, &outs.u8); break;
    case 20: result = KDX7400_GetSoftWDTTimeout(module, &outs.u32); break;
    case 21: result = KDX7400_ClearWDTErrLED(module); break;
    case 22: result = KDX7400_DO_WriteValue(module, 0x5); break;
    case 23: result = KDX7400_DO_WriteMaskedValue(module, next_byte(), next_byte()); break;
    case 24: result = KDX7400_DI_Sample(module, &state, &events); break;
    default: result = KDX7400_DI_ClearCounterChannel(module, 3); break;
    }
    if (result != RESULT_OK && result != RESULT_BAD_HEADER && result != RESULT_WRITE_FAILED &&
        result != RESULT_READ_FAILED && !(op == 23 && result == RESULT_INVALID_PARAM)) {
        broken("unexpected result", op, result);
    }
    if (result != RESULT_OK && !(outs == pristine)) {
        broken("out-parameter written on failure", op, result);
    }
    if (result != RESULT_OK && state.sampled != 0) broken("sample state written on failure", op, result);
    // sg hands back the whole buffer: bytes past a short reply are stale.
    if (result == RESULT_OK && g_cut_short) broken("success from a reply cut short", op, result);
    if (result == RESULT_OK && op == 15 && outs.text[10] != '\0') broken("date not terminated", op, result);
    if (result == RESULT_OK && op == 16 && std::memchr(outs.text, '\0', 33) == nullptr) {
        broken("nickname not terminated", op, result);
    }
    if (result == RESULT_OK && op == 8 && outs.u8 > 1) broken("channel state not 0 or 1", op, result);
    return 0;
}
