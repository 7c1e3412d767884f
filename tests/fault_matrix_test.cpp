// SPDX-License-Identifier: MIT
// Every operation that talks to a module, against every way a command can
// fail, at every command of the operation: the result, untouched
// out-parameters, nothing sent after the failure, the module unchanged,
// and no output but DO_WriteChannel's two messages. One generated table.
// A short reply is a failure too: no call succeeds with bytes that did not
// arrive.
#include "operations.h"
#include "support.h"

#include <cstring>

namespace {

using namespace kdxtest;
using kdxops::operations;
using kdxops::Operation;
using kdxops::Outs;

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

// Only the 16-byte header of the data phase arrives; the residue says so.
Fault short_data(uint16_t status) {
    Fault f = fault(FaultKind::ShortData);
    f.length = 16;
    f.host_status = status;
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
        {"header only, GOOD", short_data(0)},  {"header only, phase error", short_data(0x07)},
    };
}

// The register state, without the clock reading every command updates.
kdxsim::ModuleRegisters registers_of(const kdxsim::ModuleState &state) {
    kdxsim::ModuleRegisters r = state.registers;
    r.wdt_fed_at_ms = 0;
    return r;
}

class FaultMatrix : public ModuleTest {};

// One command for a plain getter or setter, two for a read-modify-write,
// three for ClearWDTErrLED: nothing more goes over the bus.
TEST_F(FaultMatrix, EveryOperationSendsExactlyItsCommands) {
    ASSERT_EQ(open_module(16, 16), 0);
    for (const Operation &op : operations()) {
        SCOPED_TRACE(op.name);
        bed.clear_commands();
        Outs outs;
        int16_t result = -1;
        capture_stdout([&] { result = op.call(0, outs); });
        EXPECT_EQ(result, RESULT_OK);
        std::string sent;
        for (const Command &c : bed.transfers()) {
            sent += c.cdb[0] == kWrite10 ? 'W' : c.cdb[0] == kRead10 ? 'R' : '?';
        }
        std::string expected = op.commands;
        std::replace(expected.begin(), expected.end(), 'A', 'R');
        EXPECT_EQ(sent, expected);
    }
}

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
                // A watchdog clear whose clearing write failed still puts
                // back the time-out it read, leaving the module as it was.
                const bool restores = std::string(op.name) == "ClearWDTErrLED" && position == 1;
                EXPECT_EQ(block_commands, restores ? 3 : position + 1)
                    << "nothing after the failing command";
                // A write whose data phase came back short may still have
                // reached the module whole: only a toggle shows it.
                const bool may_have_landed = failing == 'W' && f.kind == FaultKind::ShortData;
                if ((sequence.find('W') >= position && !may_have_landed) || restores) {
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
