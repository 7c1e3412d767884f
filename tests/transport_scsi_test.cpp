// SPDX-License-Identifier: MIT
// The four SCSI commands as the kernel boundary sees them, and the one
// judgement of how a command ended.
#include "support.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <scsi/sg.h>
#include <unistd.h>

namespace {

using namespace kdxtest;

class Transport : public ModuleTest {
protected:
    void SetUp() override {
        node = bed.add_module({});
        fd = ::open(("/dev/" + node).c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        bed.clear_commands();
    }
    void TearDown() override {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int fd = -1;
};

TEST_F(Transport, WriteSendsWrite10WithTheExactByteCount) {
    const Bytes data = block(17, {{16, {0x07}}});
    EXPECT_EQ(writeLBA(fd, 0x2013, data.data(), 17), 17);
    const Command sent = only_transfer();
    EXPECT_EQ(sent.cdb, (Bytes{0x2A, 0, 0, 0, 0x20, 0x13, 0, 0, 0x01, 0}));
    EXPECT_EQ(sent.dxfer_len, 17u);
    EXPECT_EQ(sent.direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(sent.timeout, 5000u);
    EXPECT_EQ(sent.interface_id, 'S');
    EXPECT_EQ(sent.cmd_len, 10u);
    EXPECT_EQ(sent.mx_sb_len, 32u);
    EXPECT_EQ(sent.flags, 0u);
    EXPECT_EQ(sent.iovec_count, 0u);
    EXPECT_EQ(sent.data, data);
    EXPECT_EQ(state().registers.opcode, 7);
}

TEST_F(Transport, ReadSendsRead10AndReceivesTheBlock) {
    Bytes buffer(128, 0);
    EXPECT_EQ(readLBA(fd, 0x2100, buffer.data(), 128), 128);
    const Command sent = only_transfer();
    EXPECT_EQ(sent.cdb, (Bytes{0x28, 0, 0, 0, 0x21, 0x00, 0, 0, 0x01, 0}));
    EXPECT_EQ(sent.dxfer_len, 128u);
    EXPECT_EQ(sent.direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(sent.timeout, 5000u);
    EXPECT_EQ(getU32Val(buffer.data()), IDENTIFY_HEADER_MAGIC);
    EXPECT_EQ(buffer[72], 16);
}

TEST_F(Transport, BlockCountCoversTheByteCountModulo256) {
    struct Case {
        uint32_t bytes;
        uint8_t blocks;
    };
    Bytes buffer(256 * 512, 0);
    for (const Case c : {Case{1, 1}, Case{512, 1}, Case{513, 2}, Case{255 * 512, 255},
                         Case{255 * 512 + 1, 0}}) {
        bed.clear_commands();
        readLBA(fd, 0x10, buffer.data(), c.bytes);
        const Command sent = only_transfer();
        ASSERT_EQ(sent.cdb.size(), 10u);
        EXPECT_EQ(sent.cdb[7], 0) << c.bytes;
        EXPECT_EQ(sent.cdb[8], c.blocks) << c.bytes;
        EXPECT_EQ(sent.dxfer_len, c.bytes) << "never rounded to whole blocks";
    }
}

TEST_F(Transport, ZeroByteCountsSendNothingExceptInquiry) {
    uint8_t buffer[8] = {};
    EXPECT_EQ(readLBA(fd, 0x2100, buffer, 0), 0);
    EXPECT_EQ(writeLBA(fd, 0x2100, buffer, 0), 0);
    EXPECT_EQ(readCapacity(fd, buffer, 0), 0);
    EXPECT_TRUE(transfers().empty());
    EXPECT_EQ(getInquiry(fd, buffer, 0), 0);
    const Command sent = only_transfer();
    EXPECT_EQ(sent.cdb, (Bytes{0x12, 0, 0, 0, 0, 0}));
}

TEST_F(Transport, InquiryAsksForTheByteCountWithTwoSecondTimeout) {
    Bytes inquiry(96, 0);
    EXPECT_EQ(getInquiry(fd, inquiry.data(), 96), 96);
    const Command sent = only_transfer();
    EXPECT_EQ(sent.cdb, (Bytes{0x12, 0, 0, 0, 0x60, 0}));
    EXPECT_EQ(sent.cmd_len, 6u);
    EXPECT_EQ(sent.timeout, 2000u);
    EXPECT_EQ(std::string(inquiry.begin() + 8, inquiry.begin() + 14), "KALMIR");
    EXPECT_EQ(inquiry[30], '#');
    EXPECT_EQ(inquiry[31], '0');
}

TEST_F(Transport, CapacityOfAModuleIsTwoMebibytes) {
    uint8_t capacity[8] = {};
    EXPECT_EQ(readCapacity(fd, capacity, 8), 8);
    EXPECT_EQ(Bytes(capacity, capacity + 8), (Bytes{0, 0, 0x0F, 0xFF, 0, 0, 0x02, 0}));
    const Command sent = only_transfer();
    EXPECT_EQ(sent.cdb, (Bytes{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sent.dxfer_len, 8u);
    EXPECT_EQ(getDiskSize(fd), 2097152u);
}

TEST_F(Transport, DiskSizeIsComputedIn64Bits) {
    struct Case {
        Bytes capacity;
        uint64_t size;
    };
    const Case cases[] = {
        {{0, 0, 0x0F, 0xFF, 0, 0, 0x02, 0}, 0x200000u},
        // Wraps to 2 MiB in 32 bits: must not look like a module.
        {{0, 0x80, 0x0F, 0xFF, 0, 0, 0x02, 0}, 0x100200000u},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x02, 0}, 0x20000000000u},
        {{0, 0, 0x1F, 0xFF, 0, 0, 0x10, 0}, 8192u * 4096u},
    };
    for (const Case &c : cases) {
        bed.inject(for_opcode(reply_bytes(0, c.capacity), 0x25));
        EXPECT_EQ(getDiskSize(fd), c.size);
    }
}

TEST_F(Transport, EveryCommandFailsOnAClosedDescriptor) {
    uint8_t buffer[128] = {};
    const int closed = fd;
    ::close(fd);
    fd = -1;
    EXPECT_EQ(readLBA(closed, 0x2100, buffer, 128), 0);
    EXPECT_EQ(writeLBA(closed, 0x2013, buffer, 17), 0);
    EXPECT_EQ(getInquiry(closed, buffer, 96), 0);
    EXPECT_EQ(readCapacity(closed, buffer, 8), 0);
    EXPECT_EQ(getDiskSize(closed), 0u);
    EXPECT_EQ(readLBA(-1, 0x2100, buffer, 128), 0);
}

Fault check_condition(bool data_moved) {
    Fault f = fault(FaultKind::CheckCondition);
    f.sense_key = 0x05;
    f.asc = 0x24;
    f.data_moved = data_moved;
    return f;
}

Fault host_status(uint16_t status, bool data_moved) {
    Fault f = fault(FaultKind::HostStatus);
    f.host_status = status;
    f.data_moved = data_moved;
    return f;
}

Fault driver_status(uint16_t status, bool data_moved) {
    Fault f = fault(FaultKind::DriverStatus);
    f.driver_status = status;
    f.data_moved = data_moved;
    return f;
}

struct Ending {
    const char *name;
    Fault fault;
    bool completes;
};

std::vector<Ending> endings() {
    std::vector<Ending> cases = {
        {"ioctl EIO", ioctl_error(EIO), false},
        {"ioctl ENODEV", ioctl_error(ENODEV), false},
        // The module answers a short data phase with the whole block and
        // CHECK CONDITION, or the host calls it a phase error: the bytes
        // arrived all the same.
        {"check condition with data", check_condition(true), true},
        {"DID_ERROR with data", host_status(0x07, true), true},
        {"driver sense with data", driver_status(0x08, true), true},
        {"check condition, nothing moved", check_condition(false), false},
        {"DID_ERROR, nothing moved", host_status(0x07, false), false},
        {"DRIVER_TIMEOUT with data", driver_status(0x06, true), false},
        {"DRIVER_TIMEOUT with suggestion bits", driver_status(0x26, true), false},
        {"hung module", fault(FaultKind::Hang), false},
    };
    for (uint16_t status = 0x01; status <= 0x05; ++status) {
        cases.push_back({"not completed, with data", host_status(status, true), false});
        cases.push_back({"not completed, nothing moved", host_status(status, false), false});
    }
    return cases;
}

TEST_F(Transport, HowACommandEndedDecidesEveryCommandsResult) {
    for (const Ending &ending : endings()) {
        SCOPED_TRACE(ending.name + std::string(" host=") + std::to_string(ending.fault.host_status) +
                     " driver=" + std::to_string(ending.fault.driver_status));
        Bytes buffer(128, 0);
        bed.inject(ending.fault);
        EXPECT_EQ(readLBA(fd, 0x2100, buffer.data(), 128), ending.completes ? 128 : 0);
        bed.inject(ending.fault);
        EXPECT_EQ(writeLBA(fd, 0x2013, block(17).data(), 17), ending.completes ? 17 : 0);
        bed.inject(ending.fault);
        EXPECT_EQ(getInquiry(fd, buffer.data(), 96), ending.completes ? 96 : 0);
        bed.inject(ending.fault);
        EXPECT_EQ(readCapacity(fd, buffer.data(), 8), ending.completes ? 8 : 0);
    }
}

TEST_F(Transport, AReadThatMovedNothingLeavesTheBufferAsItWas) {
    Bytes buffer(24, 0xEE);
    bed.inject(check_condition(false));
    EXPECT_EQ(readLBA(fd, LBA_DO_VALUE, buffer.data(), 24), 0);
    EXPECT_EQ(buffer, Bytes(24, 0xEE));
}

TEST_F(Transport, AWriteThatMovedNothingDoesNotReachTheModule) {
    bed.inject(host_status(0x03, false));
    EXPECT_EQ(writeLBA(fd, LBA_OPCODE, block(17, {{16, {0x33}}}).data(), 17), 0);
    EXPECT_EQ(state().registers.opcode, 0);
}

// The kernel's answer when a module leaves mid-command: DID_ERROR, resid 0,
// and the previous command's bytes in the buffer.
TEST_F(Transport, AModuleThatVanishesMidCommandNeverYieldsItsStaleBytes) {
    Bytes info(128, 0);
    ASSERT_EQ(readLBA(fd, LBA_MODULE_INFO, info.data(), 128), 128);
    for (const auto &[kind, read] : {std::pair{FaultKind::Vanish, true}, {FaultKind::Vanish, false},
                                     {FaultKind::Disconnect, true}}) {
        SCOPED_TRACE(read ? "read" : "write");
        bed.update(node, [](kdxsim::ModuleState &s) { s.unplugged = 0; });
        bed.clear_commands();
        bed.inject(fault(kind));
        Bytes buffer(24, 0);
        const int32_t result = read ? readLBA(fd, LBA_DO_VALUE, buffer.data(), 24)
                                    : writeLBA(fd, LBA_OPCODE, block(17).data(), 17);
        EXPECT_EQ(result, 0);
        const auto sent = transfers();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[1].cdb, (Bytes{0, 0, 0, 0, 0, 0})) << "one TEST UNIT READY asks";
        EXPECT_EQ(sent[1].error, ENODEV);
    }
}

// An outcome with an error but with data: one TEST UNIT READY decides.
TEST_F(Transport, AnErrorOutcomeCountsOnlyWhileTheModuleAnswersATestUnitReady) {
    struct Case {
        const char *name;
        Fault outcome;
        std::optional<Fault> follow_up; // what the TEST UNIT READY meets
        bool completes;
    };
    Fault unit_attention = check_condition(true);
    unit_attention.sense_key = 0x06;
    unit_attention.asc = 0x29;
    const Case cases[] = {
        {"phase error, module there", host_status(0x07, true), std::nullopt, true},
        {"babble, module there", check_condition(true), std::nullopt, true},
        {"driver sense, module there", driver_status(0x08, true), std::nullopt, true},
        {"phase error, then a unit attention", host_status(0x07, true), unit_attention, true},
        {"DID_ERROR, module gone", host_status(0x07, true), ioctl_error(ENODEV), false},
        {"DID_ERROR, no such device", host_status(0x07, true), ioctl_error(ENXIO), false},
        {"DID_ERROR, then no connection", host_status(0x07, true), host_status(0x01, false), false},
        {"DID_ERROR, still being noticed", host_status(0x07, true), host_status(0x07, false), false},
        {"babble, then time-out", check_condition(true), driver_status(0x06, false), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool read : {true, false}) {
            bed.update(node, [](kdxsim::ModuleState &s) { s.registers.do_value = 0x1234; });
            bed.clear_commands();
            bed.inject(for_opcode(c.outcome, read ? kRead10 : kWrite10));
            if (c.follow_up) {
                bed.inject(for_opcode(*c.follow_up, 0x00));
            }
            Bytes buffer(24, 0);
            const int32_t result = read ? readLBA(fd, LBA_DO_VALUE, buffer.data(), 24)
                                        : writeLBA(fd, LBA_OPCODE, block(17).data(), 17);
            EXPECT_EQ(result, c.completes ? (read ? 24 : 17) : 0) << (read ? "read" : "write");
            if (read && c.completes) {
                EXPECT_EQ(getU16Val(&buffer[16]), 0x1234);
            }
            const auto sent = transfers();
            ASSERT_EQ(sent.size(), 2u);
            EXPECT_EQ(sent[1].cdb, (Bytes{0, 0, 0, 0, 0, 0}));
            EXPECT_EQ(sent[1].direction, SG_DXFER_NONE);
            EXPECT_EQ(sent[1].timeout, 2000u);
        }
    }
}

TEST_F(Transport, ACleanOutcomeCostsNoExtraCommand) {
    Bytes buffer(24, 0);
    EXPECT_EQ(readLBA(fd, LBA_DO_VALUE, buffer.data(), 24), 24);
    EXPECT_EQ(writeLBA(fd, LBA_DO_VALUE, block(24).data(), 24), 24);
    EXPECT_EQ(transfers().size(), 2u);
}

TEST_F(Transport, AnUnpluggedModuleFailsEveryCommand) {
    Bytes buffer(128, 0);
    bed.unplug(node);
    EXPECT_EQ(readLBA(fd, 0x2100, buffer.data(), 128), 0);
    EXPECT_EQ(writeLBA(fd, 0x2013, block(17).data(), 17), 0);
    EXPECT_EQ(getDiskSize(fd), 0u);
}

// GOOD with nothing moved leaves the previous command's bytes in sg's
// buffer. How a module's firmware reports its data phase is learnt from its
// first read at open: one that reports residues as they are has that reply
// refused; one that says "nothing" of every short block it did send must
// have it taken as it comes (nothing tells the two apart there).
TEST_F(ModuleTest, GoodStatusWithNothingMovedFailsWhereTheFirmwareTellsResidues) {
    struct Row {
        const char *firmware;
        bool says_nothing_moved;
        int16_t read, write;
    };
    const Row rows[] = {
        {"exact residues", false, RESULT_READ_FAILED, RESULT_WRITE_FAILED},
        {"whole-length residues", true, RESULT_OK, RESULT_OK},
    };
    Fault nothing_moved = fault(FaultKind::ShortData);
    nothing_moved.length = 0; // status GOOD, residue the whole length
    for (const Row &row : rows) {
        SCOPED_TRACE(row.firmware);
        VirtualModule wanted;
        wanted.board_id = row.says_nothing_moved ? 1 : 0;
        node = bed.add_module(wanted);
        if (row.says_nothing_moved) {
            Fault firmware = fault(FaultKind::WholeResidue);
            firmware.times = 0;
            std::snprintf(firmware.node, sizeof firmware.node, "%s", node.c_str());
            bed.inject(firmware);
        }
        const int32_t module = KDX7400_OpenDevice(0x7401, wanted.board_id);
        ASSERT_GE(module, 0);
        ASSERT_EQ(KDX7400_DO_WriteValue(module, 0x5), RESULT_OK);
        ASSERT_EQ(KDX7400_DO_GetPowerOnEnable(module, std::make_unique<uint64_t>().get()), RESULT_OK);
        uint64_t outputs = 0xEE;
        std::snprintf(nothing_moved.node, sizeof nothing_moved.node, "%s", node.c_str());
        bed.inject(nothing_moved);
        EXPECT_EQ(KDX7400_DO_ReadValue(module, &outputs), row.read);
        if (row.read != RESULT_OK) {
            EXPECT_EQ(outputs, 0xEEu) << "the power-on mask's stale bytes are not the outputs";
        }
        bed.inject(nothing_moved);
        EXPECT_EQ(KDX7400_DO_WriteValue(module, 0xA), row.write);
        KDX7400_CloseDevice(module);
    }
}

} // namespace

