// SPDX-License-Identifier: MIT
// Finding and opening a module by product ID and board ID.
#include "support.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>

namespace {

using namespace kdxtest;

class Open : public ModuleTest {
protected:
    std::vector<std::string> opened_nodes() const {
        std::vector<std::string> nodes;
        for (const Command &c : bed.commands()) {
            if (c.type == "open") {
                nodes.push_back(c.node);
            }
        }
        return nodes;
    }

    static VirtualModule numbered(unsigned number, uint8_t di = 16) {
        VirtualModule wanted;
        wanted.number = number;
        wanted.di = di;
        return wanted;
    }

    uint8_t di_total(int32_t at) const {
        uint8_t total = 0;
        EXPECT_EQ(KDX7400_GetDITotal(at, &total), RESULT_OK);
        return total;
    }
};

TEST_F(Open, WithoutNodesEveryOpenIsNotFound) {
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), OPEN_NOT_FOUND);
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 16), OPEN_NOT_FOUND);
}

TEST_F(Open, BoardIdAboveFifteenOpensNothing) {
    bed.add_module({});
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 16), OPEN_BAD_BOARD_ID);
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 255), OPEN_BAD_BOARD_ID);
    EXPECT_TRUE(opened_nodes().empty());
}

TEST_F(Open, BoardIdIsMatchedAsAnUpperCaseHexDigit) {
    VirtualModule upper;
    upper.board_id = 10;
    const std::string upper_node = bed.add_module(upper);
    VirtualModule lower;
    lower.product = "KDX-7401      #a";
    bed.add_module(lower);
    const int32_t opened = KDX7400_OpenDevice(0x7401, 10);
    ASSERT_EQ(opened, 0);
    EXPECT_EQ(opened_nodes().back(), upper_node);
    KDX7400_CloseDevice(opened);
    bed.remove_class_directory();
    bed.clear_commands();
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 10), OPEN_NOT_FOUND);
}

TEST_F(Open, NodesAreTriedInSortedPathOrder) {
    bed.add_module(numbered(2, 8));
    bed.add_module(numbered(10, 32));
    const int32_t first = KDX7400_OpenDevice(0x7401, 0);
    ASSERT_EQ(first, 0);
    EXPECT_EQ(di_total(first), 32) << "/dev/sg10 sorts before /dev/sg2";
    const int32_t second = KDX7400_OpenDevice(0x7401, 0);
    ASSERT_EQ(second, 1);
    EXPECT_EQ(di_total(second), 32) << "an open module is found again";
    EXPECT_EQ(bed.open_node_descriptors(), 2);
}

TEST_F(Open, NodesAreOpenedReadWriteNonBlockingAndCloseOnExec) {
    bed.add_module({});
    ASSERT_EQ(KDX7400_OpenDevice(0x7401, 0), 0);
    for (const Command &c : bed.commands()) {
        if (c.type == "open") {
            EXPECT_EQ(c.open_flags, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        }
    }
    EXPECT_EQ(opened_nodes().size(), 1u);
}

TEST_F(Open, ChecksCapacityThenInquiryThenReadsModuleInfo) {
    bed.add_module({});
    ASSERT_EQ(KDX7400_OpenDevice(0x7401, 0), 0);
    const auto sent = transfers();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].cdb[0], 0x25);
    EXPECT_EQ(sent[0].dxfer_len, 8u);
    EXPECT_EQ(sent[1].cdb, (Bytes{0x12, 0, 0, 0, 96, 0}));
    EXPECT_EQ(sent[2].lba(), LBA_MODULE_INFO);
    EXPECT_EQ(sent[2].dxfer_len, 128u);
}

struct Rejected {
    const char *name;
    VirtualModule wanted;
    std::optional<Fault> fault;
    bool opened; // whether the node gets as far as open()
};

std::vector<Rejected> rejections() {
    std::vector<Rejected> cases;
    VirtualModule other_pid;
    other_pid.product_id = 0x7402;
    cases.push_back({"other product ID", other_pid, std::nullopt, false});
    VirtualModule big_disk;
    big_disk.blocks = 8192;
    cases.push_back({"4 MiB disk", big_disk, std::nullopt, true});
    VirtualModule wrapping_disk;
    wrapping_disk.blocks = 0x801000; // 2 MiB after a 32-bit wrap
    cases.push_back({"disk wrapping to 2 MiB", wrapping_disk, std::nullopt, true});
    VirtualModule no_usb;
    no_usb.usb = false;
    cases.push_back({"no USB ancestor", no_usb, std::nullopt, false});
    VirtualModule too_deep;
    too_deep.extra_levels = 8;
    cases.push_back({"idProduct 13 levels up", too_deep, std::nullopt, false});
    VirtualModule other_board;
    other_board.board_id = 1;
    cases.push_back({"other board ID", other_board, std::nullopt, true});
    VirtualModule no_hash;
    no_hash.product = "KDX-7401";
    cases.push_back({"inquiry without #", no_hash, std::nullopt, true});
    cases.push_back({"capacity fails", {}, for_opcode(ioctl_error(EIO), 0x25), true});
    cases.push_back({"inquiry fails", {}, for_opcode(ioctl_error(EIO), 0x12), true});
    cases.push_back({"module info read fails", {},
                     for_lba(for_opcode(ioctl_error(EIO), kRead10), LBA_MODULE_INFO), true});
    cases.push_back({"module info without magic", {},
                     for_lba(fault(FaultKind::NoMagic), LBA_MODULE_INFO), true});
    return cases;
}

TEST_F(Open, RejectedNodesAreSkippedWithTheirDescriptorsClosed) {
    for (const Rejected &c : rejections()) {
        SCOPED_TRACE(c.name);
        Testbed fresh;
        fresh.add_module(c.wanted);
        if (c.fault) {
            fresh.inject(*c.fault);
        }
        EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), OPEN_NOT_FOUND);
        EXPECT_EQ(fresh.open_node_descriptors(), 0);
        std::size_t opens = 0;
        for (const Command &command : fresh.commands()) {
            opens += command.type == "open";
        }
        EXPECT_EQ(opens, c.opened ? 1u : 0u);
        uint8_t total = 0;
        EXPECT_EQ(KDX7400_GetDOTotal(0, &total), RESULT_NOT_OPEN) << "no slot claimed";
    }
    bed.make_current();
}

TEST_F(Open, AModuleWhoseInfoCannotBeReadIsPassedOverForTheNext) {
    bed.add_module(numbered(0, 8));
    bed.add_module(numbered(1, 32));
    bed.inject(for_lba(fault(FaultKind::NoMagic), LBA_MODULE_INFO));
    const int32_t opened = KDX7400_OpenDevice(0x7401, 0);
    ASSERT_EQ(opened, 0);
    EXPECT_EQ(di_total(opened), 32);
    EXPECT_EQ(bed.open_node_descriptors(), 1);
}

TEST_F(Open, ProductIdComesFromTheFirstNonEmptyIdProductOnTheWayUp) {
    struct Case {
        const char *name;
        std::string text;
        uint16_t requested;
        bool found;
    };
    const Case cases[] = {
        {"lower-case hex with line feed", "1a2b\n", 0x1A2B, true},
        {"0x prefix and carriage return", "0x7401\r\n", 0x7401, true},
        {"leading blanks", "  7401", 0x7401, true},
        {"trailing garbage stops the number", "74zz\n", 0x74, true},
        {"no digits reads as 0", "zz\n", 0, true},
        {"wider than 16 bits keeps the low bits", "17401\n", 0x7401, true},
        {"other product", "7402\n", 0x7401, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Testbed fresh;
        VirtualModule wanted;
        wanted.id_product_text = c.text;
        fresh.add_module(wanted);
        const int32_t opened = KDX7400_OpenDevice(c.requested, 0);
        EXPECT_EQ(opened >= 0, c.found);
        if (opened >= 0) {
            KDX7400_CloseDevice(opened);
        }
    }
    bed.make_current();
}

TEST_F(Open, AnEmptyIdProductSendsTheWalkUpward) {
    node = bed.add_module({});
    const std::string interface = bed.scsi_device_dir(node) + "/../../..";
    std::ofstream(interface + "/idProduct").flush(); // empty, one level below the real one
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), 0);
    KDX7400_CloseDevice(0);
    std::ofstream(interface + "/idProduct") << "7499\n";
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), OPEN_NOT_FOUND) << "first non-empty one wins";
    EXPECT_EQ(KDX7400_OpenDevice(0x7499, 0), 0);
}

TEST_F(Open, TheWalkCoversTheDeviceDirectoryAndElevenAncestors) {
    VirtualModule deepest;
    deepest.extra_levels = 7; // idProduct on the 12th directory tried
    bed.add_module(deepest);
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), 0);
}

TEST_F(Open, TheWalkNeverLeavesSysfs) {
    VirtualModule sata;
    sata.usb = false; // no USB device above: the walk runs out of sysfs
    bed.add_module(sata);
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), OPEN_NOT_FOUND);
    std::vector<std::string> tried;
    for (const std::string &line : bed.store().log_lines()) {
        if (line.starts_with("idproduct path=")) {
            tried.push_back(line.substr(15));
        }
    }
    ASSERT_FALSE(tried.empty());
    for (const std::string &path : tried) {
        EXPECT_TRUE(path.starts_with("/sys/")) << path;
    }
    EXPECT_EQ(tried.back(), "/sys/idProduct");
}

// The walk starts where the device link leads and climbs one directory at
// a time, whether the class entry is a link (sysfs today) or a directory
// holding the device link (older layouts).
TEST_F(Open, TheWalkClimbsFromTheDeviceDirectoryToTheUsbDevice) {
    for (const bool class_entry_is_a_link : {true, false}) {
        SCOPED_TRACE(class_entry_is_a_link ? "class link" : "class directory");
        Testbed fresh;
        const std::string sg = fresh.add_module({});
        const std::string root = std::filesystem::canonical(fresh.root()).string();
        const std::string scsi = fresh.scsi_device_dir(sg).substr(root.size());
        const std::string usb = fresh.usb_device_dir(sg).substr(root.size());
        if (!class_entry_is_a_link) {
            const std::string entry = fresh.root() + "/sys/class/scsi_generic/" + sg;
            std::filesystem::remove(entry);
            std::filesystem::create_directory(entry);
            std::filesystem::create_directory_symlink("../../.." + scsi.substr(4), entry + "/device");
        }
        EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), 0);
        KDX7400_CloseDevice(0);
        std::vector<std::string> expected;
        for (std::string dir = scsi; dir.size() >= usb.size(); dir.resize(dir.rfind('/'))) {
            expected.push_back(dir + "/idProduct");
        }
        std::vector<std::string> tried;
        for (const std::string &line : fresh.store().log_lines()) {
            if (line.starts_with("idproduct path=")) {
                tried.push_back(line.substr(15));
            }
        }
        EXPECT_EQ(tried, expected);
    }
    bed.make_current();
}

TEST_F(Open, OnlySgNumberNamesAreTriedAsNodes) {
    bed.add_module({});
    // Another name for the same node, sorting first and longer than any sgN.
    const std::string alias = "sg.alias-of-sg0-with-a-long-name";
    std::filesystem::create_symlink("sg0", bed.root() + "/dev/" + alias);
    std::filesystem::create_directory_symlink("sg0", bed.root() + "/sys/class/scsi_generic/" + alias);
    const int32_t index = KDX7400_OpenDevice(0x7401, 0);
    ASSERT_EQ(index, 0);
    char node[32] = {};
    ASSERT_EQ(KDX7400_GetDeviceNode(index, node, sizeof node), RESULT_OK);
    EXPECT_STREQ(node, "/dev/sg0");
    EXPECT_EQ(opened_nodes(), std::vector<std::string>{"sg0"});
}

TEST_F(Open, AFullTableClaimsNothingMore) {
    bed.add_module({});
    for (int32_t i = 0; i < MAX_DEVICES; ++i) {
        ASSERT_EQ(KDX7400_OpenDevice(0x7401, 0), i);
    }
    EXPECT_EQ(bed.open_node_descriptors(), 32);
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), OPEN_TABLE_FULL);
    EXPECT_EQ(bed.open_node_descriptors(), 32) << "the new descriptor was closed";
    EXPECT_EQ(KDX7400_OpenDevice(0x7402, 0), OPEN_NOT_FOUND);

    ASSERT_EQ(KDX7400_CloseDevice(5), RESULT_OK);
    EXPECT_EQ(KDX7400_OpenDevice(0x7401, 0), 5);
}

// ---- opening by node -------------------------------------------------------

TEST_F(Open, ByNodeReachesEachOfTwoModulesWithTheSameKeys) {
    const std::string first = bed.add_module(numbered(2));
    const std::string second = bed.add_module(numbered(5));
    bed.update(second, [](kdxsim::ModuleState &s) { s.registers.do_value = 0x55; });
    EXPECT_EQ(KDX7400_OpenDevicePath("sg5"), 0);
    EXPECT_EQ(KDX7400_OpenDevicePath("/dev/sg2"), 1);
    uint64_t mask = 0;
    EXPECT_EQ(KDX7400_DO_ReadValue(0, &mask), RESULT_OK);
    EXPECT_EQ(mask, 0x55u);
    char path[16] = {};
    EXPECT_EQ(KDX7400_GetDeviceNode(0, path, sizeof path), RESULT_OK);
    EXPECT_STREQ(path, "/dev/sg5");
    EXPECT_EQ(KDX7400_GetDeviceNode(1, path, sizeof path), RESULT_OK);
    EXPECT_STREQ(path, "/dev/sg2");
    EXPECT_EQ(di_total(1), 16);
    const auto opens = opened_nodes();
    EXPECT_EQ(opens, (std::vector<std::string>{second, first}));
}

TEST_F(Open, ByNodeRefusesWhatIsNoModuleAndLeavesNothingOpen) {
    VirtualModule big = numbered(1);
    big.blocks = 8192;
    bed.add_module(big);
    VirtualModule other_vendor = numbered(2);
    other_vendor.vendor = "ACME";
    bed.add_module(other_vendor);
    VirtualModule other_product = numbered(3);
    other_product.product = "USB DISK       #3";
    bed.add_module(other_product);
    struct Case {
        const char *path;
        int32_t result;
    };
    const Case cases[] = {
        {nullptr, OPEN_BAD_PATH},     {"", OPEN_BAD_PATH},        {"sg", OPEN_BAD_PATH},
        {"sgx", OPEN_BAD_PATH},       {"/dev/sda", OPEN_BAD_PATH}, {"/dev/sg1/..", OPEN_BAD_PATH},
        {"../sg1", OPEN_BAD_PATH},    {"sg12345678901", OPEN_BAD_PATH},
        {"sg9", OPEN_NOT_FOUND},      {"sg1", OPEN_NOT_FOUND},    {"/dev/sg2", OPEN_NOT_FOUND},
        {"sg3", OPEN_NOT_FOUND},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(KDX7400_OpenDevicePath(c.path), c.result) << (c.path ? c.path : "(null)");
    }
    EXPECT_EQ(bed.open_node_descriptors(), 0);
}

TEST_F(Open, ByNodeFillsTheTableLikeAnyOpen) {
    bed.add_module(numbered(0));
    for (int32_t i = 0; i < MAX_DEVICES; ++i) {
        ASSERT_EQ(KDX7400_OpenDevicePath("sg0"), i);
    }
    EXPECT_EQ(KDX7400_OpenDevicePath("sg0"), OPEN_TABLE_FULL);
    EXPECT_EQ(bed.open_node_descriptors(), MAX_DEVICES);
}

TEST_F(Open, TheNodeOfASlotIsReportedOnlyWhereItFits) {
    bed.add_module(numbered(12));
    const int32_t opened = KDX7400_OpenDevice(0x7401, 0);
    ASSERT_EQ(opened, 0);
    char path[10] = {'x'};
    EXPECT_EQ(KDX7400_GetDeviceNode(opened, nullptr, 10), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_GetDeviceNode(-1, path, 10), RESULT_BAD_INDEX);
    EXPECT_EQ(KDX7400_GetDeviceNode(5, path, 10), RESULT_NOT_OPEN);
    EXPECT_EQ(KDX7400_GetDeviceNode(opened, path, 9), RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(path[0], 'x') << "nothing written on failure";
    EXPECT_EQ(KDX7400_GetDeviceNode(opened, path, 10), RESULT_OK);
    EXPECT_STREQ(path, "/dev/sg12");
    EXPECT_EQ(KDX7400_CloseDevice(opened), RESULT_OK);
    EXPECT_EQ(KDX7400_GetDeviceNode(opened, path, 10), RESULT_NOT_OPEN);
}

} // namespace
