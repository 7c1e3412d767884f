// SPDX-License-Identifier: MIT
// The USB gadget's Bulk-Only target: wrappers, the four ways a module ends
// a short register read, and the check of every register command.
#include "../sim/scsi/wire_check.h"
#include "../sim/usb/bot.h"
#include "testbed.h"

#include <gtest/gtest.h>

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
