// Every operation that talks to a module, against every way a command can
// fail, at every command of the operation: the result, untouched
// out-parameters, nothing sent after the failure, the module unchanged,
// and no output but DO_WriteChannel's two messages. One generated table.
#include "support.h"

#include <cstring>

namespace {

using namespace kdxtest;

// What an operation writes through its out-parameters, preset to a
// pattern that a failed call must leave as it is.
struct Outs {
    uint64_t a = 0xA5A5A5A5A5A5A5A5ull, b = 0x5A5A5A5A5A5A5A5Aull;
    uint32_t u32 = 0xA5A5A5A5u;
    uint32_t counters[64];
    uint16_t u16 = 0xA5A5;
    uint8_t u8 = 0xA5;
    char text[40];
    Outs() {
        std::fill(std::begin(counters), std::end(counters), 0xA5A5A5A5u);
        std::memset(text, 0xA5, sizeof text);
    }
    bool operator==(const Outs &o) const {
        return a == o.a && b == o.b && u32 == o.u32 && u16 == o.u16 && u8 == o.u8 &&
               std::equal(std::begin(counters), std::end(counters), std::begin(o.counters)) &&
               std::memcmp(text, o.text, sizeof text) == 0;
    }
};

struct Operation {
    const char *name;
    // The commands it sends, in order: R a read whose magic is checked,
    // A a read taken as it comes, W a write.
    const char *commands;
    std::function<int16_t(int32_t, Outs &)> call;
};

std::vector<Operation> operations() {
    return {
        {"DO_WriteValue", "W", [](int32_t m, Outs &) { return KDX7400_DO_WriteValue(m, 0x0F0F); }},
        {"DO_WriteChannel", "RW", [](int32_t m, Outs &) { return KDX7400_DO_WriteChannel(m, 3, 1); }},
        {"DO_ReadValue", "R", [](int32_t m, Outs &o) { return KDX7400_DO_ReadValue(m, &o.a); }},
        {"DO_SetPowerOnEnable", "W", [](int32_t m, Outs &) { return KDX7400_DO_SetPowerOnEnable(m, 0xF0); }},
        {"DO_SetPowerOnEnableToChannel", "RW",
         [](int32_t m, Outs &) { return KDX7400_DO_SetPowerOnEnableToChannel(m, 2, 1); }},
        {"DO_GetPowerOnEnable", "R", [](int32_t m, Outs &o) { return KDX7400_DO_GetPowerOnEnable(m, &o.a); }},
        {"DO_SetInverse", "W", [](int32_t m, Outs &) { return KDX7400_DO_SetInverse(m, 1); }},
        {"DO_GetInverse", "A", [](int32_t m, Outs &o) { return KDX7400_DO_GetInverse(m, &o.u8); }},
        {"DO_SetSafetyEnable", "W", [](int32_t m, Outs &) { return KDX7400_DO_SetSafetyEnable(m, 3, 1); }},
        {"DO_SetSafetyEnableChannel", "RW",
         [](int32_t m, Outs &) { return KDX7400_DO_SetSafetyEnableChannel(m, 5, 1, 1); }},
        {"DO_GetSafetyEnable", "R",
         [](int32_t m, Outs &o) { return KDX7400_DO_GetSafetyEnable(m, &o.a, &o.b); }},
        {"DI_ReadValue", "R", [](int32_t m, Outs &o) { return KDX7400_DI_ReadValue(m, &o.a); }},
        {"DI_ReadChannel", "R", [](int32_t m, Outs &o) { return KDX7400_DI_ReadChannel(m, 1, &o.u8); }},
        {"DI_SetFilter", "W", [](int32_t m, Outs &) { return KDX7400_DI_SetFilter(m, 77); }},
        {"DI_GetFilter", "R", [](int32_t m, Outs &o) { return KDX7400_DI_GetFilter(m, &o.u16); }},
        {"DI_SetInverse", "W", [](int32_t m, Outs &) { return KDX7400_DI_SetInverse(m, 1); }},
        {"DI_GetInverse", "R", [](int32_t m, Outs &o) { return KDX7400_DI_GetInverse(m, &o.u8); }},
        {"DI_SetCntEdgeTrigger", "W", [](int32_t m, Outs &) { return KDX7400_DI_SetCntEdgeTrigger(m, 1); }},
        {"DI_GetCntEdgeTrigger", "R", [](int32_t m, Outs &o) { return KDX7400_DI_GetCntEdgeTrigger(m, &o.u8); }},
        {"DI_ReadCounterValue", "R",
         [](int32_t m, Outs &o) { return KDX7400_DI_ReadCounterValue(m, o.counters, 16); }},
        {"DI_ReadChannelCounter", "R",
         [](int32_t m, Outs &o) { return KDX7400_DI_ReadChannelCounter(m, 2, &o.u32); }},
        {"DI_ClearCounter", "W", [](int32_t m, Outs &) { return KDX7400_DI_ClearCounter(m, 0xFFFF); }},
        {"DI_ClearCounterChannel", "W", [](int32_t m, Outs &) { return KDX7400_DI_ClearCounterChannel(m, 2); }},
        {"DI_ClearSingleCounter", "W", [](int32_t m, Outs &) { return KDX7400_DI_ClearSingleCounter(m, 2); }},
        {"GetFwVer", "R", [](int32_t m, Outs &o) { return KDX7400_GetFwVer(m, &o.u16); }},
        {"GetFwDate", "A", [](int32_t m, Outs &o) { return KDX7400_GetFwDate(m, o.text); }},
        {"SetDeviceNickName", "W", [](int32_t m, Outs &) { return KDX7400_SetDeviceNickName(m, "bench"); }},
        {"GetDeviceNickName", "A", [](int32_t m, Outs &o) { return KDX7400_GetDeviceNickName(m, o.text); }},
        {"SetWriteProtect", "W", [](int32_t m, Outs &) { return KDX7400_SetWriteProtect(m, 1); }},
        {"GetWriteProtect", "A", [](int32_t m, Outs &o) { return KDX7400_GetWriteProtect(m, &o.u8); }},
        {"SetFrameRateFactor", "W", [](int32_t m, Outs &) { return KDX7400_SetFrameRateFactor(m, 9); }},
        {"GetFrameRateFactor", "A", [](int32_t m, Outs &o) { return KDX7400_GetFrameRateFactor(m, &o.u8); }},
        {"LoadDefault", "W", [](int32_t m, Outs &) { return KDX7400_LoadDefault(m); }},
        {"SYNCDevice", "W", [](int32_t m, Outs &) { return KDX7400_SYNCDevice(m); }},
        {"ForceReset", "W", [](int32_t m, Outs &) { return KDX7400_ForceReset(m); }},
        {"setopcode", "W", [](int32_t m, Outs &) { return setopcode(m, 0x42); }},
        {"getopcode", "R", [](int32_t m, Outs &o) { return getopcode(m, &o.u8); }},
        {"SetSoftWDTTimeout", "W", [](int32_t m, Outs &) { return KDX7400_SetSoftWDTTimeout(m, 5000); }},
        {"GetSoftWDTTimeout", "R", [](int32_t m, Outs &o) { return KDX7400_GetSoftWDTTimeout(m, &o.u32); }},
        {"ClearWDTErrLED", "RWW", [](int32_t m, Outs &) { return KDX7400_ClearWDTErrLED(m); }},
    };
}

struct Failure {
    const char *name;
    Fault fault;
};

Fault host(uint16_t status) {
    Fault f = fault(FaultKind::HostStatus);
    f.host_status = status;
    f.data_moved = false;
    return f;
}

std::vector<Failure> failures() {
    Fault driver_timeout = fault(FaultKind::DriverStatus);
    driver_timeout.driver_status = 0x06;
    driver_timeout.data_moved = false;
    return {
        {"ioctl EIO", ioctl_error(EIO)},       {"ioctl ENODEV", ioctl_error(ENODEV)},
        {"ioctl EBADF", ioctl_error(EBADF)},   {"ioctl EINTR", ioctl_error(EINTR)},
        {"DID_NO_CONNECT", host(0x01)},        {"DID_BUS_BUSY", host(0x02)},
        {"DID_TIME_OUT", host(0x03)},          {"DID_ABORT", host(0x05)},
        {"DID_ERROR, nothing moved", host(0x07)}, {"DRIVER_TIMEOUT", driver_timeout},
        {"reply without magic", fault(FaultKind::NoMagic)}, {"module vanishes", fault(FaultKind::Vanish)},
    };
}

// The register state, without the clock reading every command updates.
kdxsim::ModuleRegisters registers_of(const kdxsim::ModuleState &state) {
    kdxsim::ModuleRegisters r = state.registers;
    r.wdt_fed_at_ms = 0;
    return r;
}

class FaultMatrix : public ModuleTest {};

TEST_F(FaultMatrix, EveryOperationFailsCleanlyAtEveryCommand) {
    ASSERT_EQ(open_module(16, 16), 0);
    std::size_t cases = 0;
    for (const Operation &op : operations()) {
        const std::string sequence = op.commands;
        for (const Failure &failure : failures()) {
            for (std::size_t position = 0; position < sequence.size(); ++position) {
                SCOPED_TRACE(std::string(op.name) + " / " + failure.name + " / command " +
                             std::to_string(position + 1));
                ++cases;
                bed.update(node, [](kdxsim::ModuleState &s) { s.unplugged = 0; });
                const kdxsim::ModuleRegisters before = registers_of(state());
                Fault f = failure.fault;
                f.skip = static_cast<uint32_t>(position);
                bed.clear_commands();
                bed.inject(f);
                Outs outs;
                int16_t result = -1;
                const std::string printed = capture_stdout([&] { result = op.call(0, outs); });
                bed.update(node, [](kdxsim::ModuleState &s) { s.unplugged = 0; });
                const char failing = sequence[position];
                const bool magic_only = f.kind == FaultKind::NoMagic;
                if (magic_only && failing != 'R') {
                    // A write has no reply to spoil; an accepted read takes it.
                    EXPECT_EQ(result, RESULT_OK);
                    bed.clear_commands(); // the fault was not used up by a write
                    continue;
                }
                const int16_t expected = magic_only      ? RESULT_BAD_HEADER
                                         : failing == 'W' ? RESULT_WRITE_FAILED
                                                          : RESULT_READ_FAILED;
                EXPECT_EQ(result, expected);
                EXPECT_TRUE(outs == Outs()) << "out-parameters written on failure";
                std::size_t block_commands = 0;
                for (const Command &c : bed.transfers()) {
                    block_commands += c.cdb[0] == kRead10 || c.cdb[0] == kWrite10;
                }
                EXPECT_EQ(block_commands, position + 1) << "nothing after the failing command";
                if (sequence.find('W') >= position) {
                    const kdxsim::ModuleRegisters after = registers_of(state());
                    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "module changed";
                }
                // Only transfer failures are printed; a missing magic is not.
                const std::string allowed = std::string(op.name) != "DO_WriteChannel" ? ""
                                            : expected == RESULT_WRITE_FAILED        ? "write error\n"
                                            : expected == RESULT_READ_FAILED         ? "read error\n"
                                                                                     : "";
                EXPECT_EQ(printed, allowed);
            }
        }
    }
    EXPECT_GT(cases, 500u);
}

} // namespace
