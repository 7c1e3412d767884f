// SPDX-License-Identifier: MIT
// The USB gadget's Bulk-Only target: wrappers, the four ways a module ends
// a short register read, and the check of every register command.
#include "../sim/scsi/wire_check.h"
#include "../sim/usb/bot.h"
#include "testbed.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using kdxsim::BotTarget;
using kdxsim::Cbw;
using kdxsim::ReadBehaviour;
using Bytes = std::vector<uint8_t>;

Bytes cbw_bytes(uint32_t tag, uint32_t length, bool to_host, const Bytes &cdb) {
    Bytes b(31, 0);
    const uint32_t fields[] = {0x43425355, tag, length};
    for (int f = 0; f < 3; ++f) {
        for (int i = 0; i < 4; ++i) {
            b[static_cast<std::size_t>(4 * f + i)] = static_cast<uint8_t>(fields[f] >> (8 * i));
        }
    }
    b[12] = to_host ? 0x80 : 0;
    b[14] = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), b.begin() + 15);
    return b;
}

Cbw cbw(uint32_t length, bool to_host, const Bytes &cdb) {
    return *kdxsim::parse_cbw(cbw_bytes(7, length, to_host, cdb));
}

Bytes read10(uint32_t lba) {
    return {0x28, 0, 0, 0, static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0, 0, 1, 0};
}

Bytes write10(uint32_t lba) {
    Bytes cdb = read10(lba);
    cdb[0] = 0x2A;
    return cdb;
}

Bytes block(std::size_t size, std::size_t offset = 16, Bytes payload = {}) {
    Bytes b(size, 0);
    const Bytes magic = {0xA5, 0x77, 0x35, 0x5A};
    std::copy(magic.begin(), magic.end(), b.begin());
    std::copy(payload.begin(), payload.end(), b.begin() + static_cast<long>(offset));
    return b;
}

kdxsim::ModuleState module() { return kdxsim::initial_state({}); }

TEST(Bot, CommandWrappersAreParsedOnlyWhenWellFormed) {
    const Bytes good = cbw_bytes(0x11223344, 24, true, read10(0x2040));
    const auto parsed = kdxsim::parse_cbw(good);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->tag, 0x11223344u);
    EXPECT_EQ(parsed->length, 24u);
    EXPECT_TRUE(parsed->to_host);
    EXPECT_EQ(parsed->cdb, read10(0x2040));

    Bytes bad_signature = good;
    bad_signature[0] = 0;
    Bytes no_cdb = good;
    no_cdb[14] = 0;
    Bytes long_cdb = good;
    long_cdb[14] = 17;
    for (const Bytes &bytes : {bad_signature, no_cdb, long_cdb, Bytes(good.begin(), good.end() - 1)}) {
        EXPECT_FALSE(kdxsim::parse_cbw(bytes));
    }
    EXPECT_EQ(kdxsim::make_csw(0x11223344, 5, 2),
              (std::array<uint8_t, 13>{0x55, 0x53, 0x42, 0x53, 0x44, 0x33, 0x22, 0x11, 5, 0, 0, 0, 2}));
}

TEST(Bot, EachBehaviourEndsAShortRegisterReadItsOwnWay) {
    struct Case {
        ReadBehaviour behaviour;
        std::size_t sent;
        uint32_t residue;
        uint8_t status;
    };
    const Case cases[] = {
        {ReadBehaviour::Exact, 24, 0, kdxsim::kCswPassed},
        {ReadBehaviour::Block, 512, 0, kdxsim::kCswPassed},
        {ReadBehaviour::Phase, 24, 0, kdxsim::kCswPhaseError},
        {ReadBehaviour::Residue, 24, 24, kdxsim::kCswPassed},
        {ReadBehaviour::Short, 16, 8, kdxsim::kCswPassed},
        {ReadBehaviour::ShortPhase, 16, 8, kdxsim::kCswPhaseError},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(kdxsim::name_of(c.behaviour));
        auto state = module();
        state.registers.do_value = 0xBEEF;
        BotTarget target(c.behaviour);
        const auto reply = target.answer(state, cbw(24, true, read10(0x2040)), {}, 0);
        ASSERT_EQ(reply.data.size(), c.sent);
        if (c.sent > 16) {
            EXPECT_EQ(reply.data[16], 0xEF);
            EXPECT_EQ(reply.data[17], 0xBE);
        }
        EXPECT_EQ(reply.residue, c.residue);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_TRUE(reply.malformed.empty()) << reply.malformed;
        // What usb-storage and sd send is answered plainly in every behaviour.
        const auto inquiry = target.answer(state, cbw(36, true, {0x12, 0, 0, 0, 36, 0}), {}, 0);
        EXPECT_EQ(inquiry.data.size(), 36u);
        EXPECT_EQ(inquiry.status, kdxsim::kCswPassed);
        EXPECT_EQ(inquiry.residue, 0u);
    }
}

TEST(Bot, AFailedCommandLeavesItsSenseForRequestSense) {
    auto state = module();
    BotTarget target(ReadBehaviour::Exact);
    const auto failed = target.answer(state, cbw(0, false, {0xC1, 0, 0, 0, 0, 0}), {}, 0);
    EXPECT_EQ(failed.status, kdxsim::kCswFailed);
    const auto sense = target.answer(state, cbw(18, true, {0x03, 0, 0, 0, 18, 0}), {}, 0);
    ASSERT_EQ(sense.data.size(), 18u);
    EXPECT_EQ(sense.data[2], 0x05); // ILLEGAL REQUEST
    EXPECT_EQ(sense.data[12], 0x20); // invalid command operation code
    const auto cleared = target.answer(state, cbw(18, true, {0x03, 0, 0, 0, 18, 0}), {}, 0);
    EXPECT_EQ(cleared.data[2], 0x00) << "sense is reported once";
    const auto mode = target.answer(state, cbw(192, true, {0x1A, 0, 0x3F, 0, 192, 0}), {}, 0);
    EXPECT_EQ(mode.data, (Bytes{3, 0, 0, 0}));
    EXPECT_EQ(mode.residue, 188u);
}

Bytes disk_command(uint8_t opcode, uint32_t lba, uint16_t blocks) {
    return {opcode, 0, 0, 0, static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0,
            static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks), 0};
}

// The Bulk-Only class's thirteen cases of host and device disagreeing on
// a command's data: a phase error where it is due, never a truncation.
TEST(Bot, LengthAndDirectionMismatchesAreAnsweredAsTheClassSays) {
    struct Case {
        const char *name;
        Bytes cdb;
        uint32_t length;
        bool to_host;
        uint8_t status;
        uint32_t residue;
        std::size_t sent;
    };
    const Bytes read2 = disk_command(0x28, 8, 2), write2 = disk_command(0x2A, 8, 2);
    const Bytes read0 = disk_command(0x28, 8, 0);
    const Case cases[] = {
        {"1 Hn=Dn", read0, 0, false, kdxsim::kCswPassed, 0, 0},
        {"2 Hn<Di", read2, 0, false, kdxsim::kCswPhaseError, 0, 0},
        {"3 Hn<Do", write2, 0, false, kdxsim::kCswPhaseError, 0, 0},
        {"4 Hi>Dn", read0, 512, true, kdxsim::kCswPassed, 512, 0},
        {"5 Hi>Di", read2, 2048, true, kdxsim::kCswPassed, 1024, 1024},
        {"6 Hi=Di", read2, 1024, true, kdxsim::kCswPassed, 0, 1024},
        {"7 Hi<Di", read2, 512, true, kdxsim::kCswPhaseError, 512, 0},
        {"8 Hi<>Do", write2, 1024, true, kdxsim::kCswPhaseError, 1024, 0},
        {"9 Ho>Dn", read0, 512, false, kdxsim::kCswPassed, 512, 0},
        {"10 Ho<>Di", read2, 1024, false, kdxsim::kCswPhaseError, 1024, 0},
        {"11 Ho>Do", write2, 2048, false, kdxsim::kCswPassed, 1024, 0},
        {"12 Ho=Do", write2, 1024, false, kdxsim::kCswPassed, 0, 0},
        {"13 Ho<Do", write2, 512, false, kdxsim::kCswPhaseError, 512, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto state = module();
        BotTarget target(ReadBehaviour::Exact);
        const Bytes out = c.to_host ? Bytes{} : Bytes(c.length, 0x5A);
        const auto reply = target.answer(state, cbw(c.length, c.to_host, c.cdb), out, 0);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.residue, c.residue);
        EXPECT_EQ(reply.data.size(), c.sent);
    }
}

TEST(Bot, TheDiskKeepsWhatIsWrittenAndAnswersWhatToolsAsk) {
    auto state = module();
    BotTarget target(ReadBehaviour::Exact);
    Bytes pattern(1024);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 1);
    const uint32_t last = state.identity.last_block;
    ASSERT_EQ(target.answer(state, cbw(1024, false, disk_command(0x2A, last - 1, 2)), pattern, 0).status,
              kdxsim::kCswPassed);
    const auto back = target.answer(state, cbw(1024, true, disk_command(0x28, last - 1, 2)), {}, 0);
    EXPECT_EQ(back.data, pattern);
    EXPECT_EQ(target.answer(state, cbw(512, true, disk_command(0x28, last + 1, 1)), {}, 0).status,
              kdxsim::kCswFailed); // past the end
    // MODE SENSE(10), as sg_modes sends it: a header, no pages.
    const auto mode = target.answer(state, cbw(252, true, {0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 252, 0}), {}, 0);
    EXPECT_EQ(mode.data, (Bytes{0, 6, 0, 0, 0, 0, 0, 0}));
    // READ CAPACITY(16): the same last block and block length as (10).
    const auto capacity =
        target.answer(state, cbw(32, true, {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}), {}, 0);
    ASSERT_EQ(capacity.data.size(), 32u);
    EXPECT_EQ(Bytes(capacity.data.begin() + 4, capacity.data.begin() + 12),
              (Bytes{static_cast<uint8_t>(last >> 24), static_cast<uint8_t>(last >> 16),
                     static_cast<uint8_t>(last >> 8), static_cast<uint8_t>(last), 0, 0, 2, 0}));
}

// Every fault kdx7400-sim can queue, as USB shows it; an error runs
// nothing at the module, so a write that fails has not happened.
TEST(Bot, FaultsActAsUsbCanShowThem) {
    using kdxsim::FaultAction;
    using kdxsim::FaultKind;
    struct Case {
        const char *name;
        FaultKind kind;
        int error;
        uint16_t host_status;
        FaultAction action;
        uint8_t status;
        std::size_t sent;
    };
    const Case cases[] = {
        {"eio", FaultKind::IoctlError, EIO, 0, FaultAction::Answered, kdxsim::kCswFailed, 0},
        {"enodev", FaultKind::IoctlError, ENODEV, 0, FaultAction::Disconnect, 0, 0},
        {"vanish", FaultKind::Vanish, 0, 0, FaultAction::Disconnect, 0, 0},
        {"disconnect", FaultKind::Disconnect, 0, 0, FaultAction::Disconnect, 0, 0},
        {"hang", FaultKind::Hang, 0, 0, FaultAction::Hang, 0, 0},
        {"host status", FaultKind::HostStatus, 0, 0x07, FaultAction::Answered, kdxsim::kCswPhaseError, 0},
        {"no-magic", FaultKind::NoMagic, 0, 0, FaultAction::Execute, kdxsim::kCswPassed, 24},
        {"short", FaultKind::ShortData, 0, 0, FaultAction::Execute, kdxsim::kCswPassed, 16},
        {"short-phase", FaultKind::ShortData, 0, 0x07, FaultAction::Execute, kdxsim::kCswPhaseError, 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto state = module();
        state.registers.do_value = 0x1234;
        BotTarget target(ReadBehaviour::Exact);
        kdxsim::Fault fault;
        fault.kind = c.kind;
        fault.error = c.error;
        fault.host_status = c.host_status;
        fault.length = 16;
        const Cbw read = cbw(24, true, read10(0x2040));
        kdxsim::BotReply reply;
        ASSERT_EQ(target.fault_before(fault, read, reply), c.action);
        if (c.action == FaultAction::Execute) {
            reply = target.answer(state, read, {}, 0);
            target.fault_after(fault, read, reply);
        }
        if (c.action == FaultAction::Execute || c.action == FaultAction::Answered) {
            EXPECT_EQ(reply.status, c.status);
            EXPECT_EQ(reply.data.size(), c.sent);
            EXPECT_EQ(reply.residue, 24 - c.sent);
        }
        if (c.kind == FaultKind::NoMagic) {
            EXPECT_EQ(Bytes(reply.data.begin(), reply.data.begin() + 4), Bytes(4, 0));
        }
        if (c.kind == FaultKind::IoctlError && c.error == EIO) {
            const auto sense = target.answer(state, cbw(18, true, {0x03, 0, 0, 0, 18, 0}), {}, 0);
            EXPECT_EQ(sense.data[2], 0x04); // hardware error, for REQUEST SENSE
        }
    }
    // A write whose command fails changed nothing at the module.
    auto state = module();
    BotTarget target(ReadBehaviour::Exact);
    kdxsim::Fault eio;
    eio.kind = FaultKind::IoctlError;
    eio.error = EIO;
    kdxsim::BotReply reply;
    EXPECT_EQ(target.fault_before(eio, cbw(24, false, write10(0x2040)), reply), FaultAction::Answered);
    EXPECT_EQ(state.registers.do_value, 0u);
}

TEST(Bot, WritesReachTheModule) {
    auto state = module();
    BotTarget target(ReadBehaviour::Phase);
    const auto reply =
        target.answer(state, cbw(24, false, write10(0x2040)), block(24, 16, {0x34, 0x12}), 0);
    EXPECT_EQ(reply.status, kdxsim::kCswPassed) << "only reads end in a phase error";
    EXPECT_EQ(state.registers.do_value, 0x1234u);
}

TEST(WireCheck, EveryRegisterCommandIsCheckedAsItArrives) {
    struct Case {
        const char *name;
        Bytes cdb;
        bool to_device;
        uint32_t length;
        Bytes data;
        bool malformed;
    };
    Bytes two_blocks = read10(0x2040);
    two_blocks[8] = 2;
    Bytes header = block(24);
    header[9] = 1;
    const Case cases[] = {
        {"output read", read10(0x2040), false, 24, {}, false},
        {"module info, 128", read10(0x2100), false, 128, {}, false},
        {"counters, 272", read10(0x2024), false, 272, {}, false},
        {"output write", write10(0x2040), true, 24, block(24), false},
        {"sync with trigger", write10(0x2012), true, 17, block(17, 16, {0x5A}), false},
        {"disk block", read10(0x0010), false, 512, {}, false},
        {"no register", read10(0x2050), false, 24, {}, true},
        {"wrong length", read10(0x2040), false, 23, {}, true},
        {"two blocks", two_blocks, false, 24, {}, true},
        {"read of write-only", read10(0x2012), false, 17, {}, true},
        {"write of read-only", write10(0x2100), true, 128, block(128), true},
        {"direction against opcode", read10(0x2040), true, 24, block(24), true},
        {"no magic", write10(0x2040), true, 24, Bytes(24, 0), true},
        {"header byte set", write10(0x2040), true, 24, header, true},
        {"sync without trigger", write10(0x2012), true, 17, block(17), true},
    };
    for (const Case &c : cases) {
        const std::string why =
            kdxsim::check_register_command(c.cdb, c.to_device, c.length, c.data, 4095);
        EXPECT_EQ(!why.empty(), c.malformed) << c.name << ": " << why;
    }
}

} // namespace
