// SPDX-License-Identifier: MIT
// The printed listing and the structured device list, both from sysfs.
#include "support.h"

#include <dirent.h>
#include <filesystem>
#include <set>
#include <sstream>

namespace {

using namespace kdxtest;

class List : public ModuleTest {
protected:
    std::string listing(int16_t expected = RESULT_OK) {
        return capture_stdout([&] { EXPECT_EQ(KDX7400_ListDevice(), expected); });
    }

    // sysfs INQUIRY data: the standard 8-byte preamble, then text.
    static Bytes inquiry(const std::string &text) {
        Bytes bytes(8 + text.size(), 0);
        bytes[1] = 0x80;
        bytes[2] = 0x04;
        bytes[3] = 0x02;
        bytes[4] = 0x1F;
        std::copy(text.begin(), text.end(), bytes.begin() + 8);
        return bytes;
    }

    // The class directory's entries in the order readdir yields them.
    static std::vector<std::string> directory_order() {
        std::vector<std::string> names;
        DIR *directory = ::opendir("/sys/class/scsi_generic/");
        while (const dirent *entry = ::readdir(directory)) {
            if (entry->d_name[0] != '.') {
                names.push_back(entry->d_name);
            }
        }
        ::closedir(directory);
        return names;
    }
};

TEST_F(List, NoModulesPrintsOneLine) {
    EXPECT_EQ(listing(), "No KDX-7400 devices found.\n");
    VirtualModule other;
    other.vendor = "ACME";
    bed.add_module(other);
    EXPECT_EQ(listing(), "No KDX-7400 devices found.\n");
}

TEST_F(List, AMissingClassDirectoryIsReportedOnStandardError) {
    bed.remove_class_directory();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(listing(RESULT_OPENDIR_FAILED), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "opendir: No such file or directory\n");
}

TEST_F(List, OneModuleShowsItsNameAndBoardId) {
    VirtualModule wanted;
    wanted.board_id = 0xB;
    bed.add_module(wanted);
    EXPECT_EQ(listing(), "Found 1 KDX-7400 device(s):\n [0] PID=KDX7401  BID=0xB\n");
    EXPECT_TRUE(transfers().empty()) << "listing never talks to a module";
}

TEST_F(List, ModulesAreListedInDirectoryOrder) {
    std::map<std::string, char> boards;
    for (uint8_t board = 0; board < 5; ++board) {
        VirtualModule wanted;
        wanted.board_id = board;
        boards[bed.add_module(wanted)] = "0123456789ABCDEF"[board];
    }
    std::string expected = "Found 5 KDX-7400 device(s):\n";
    std::size_t j = 0;
    for (const std::string &name : directory_order()) {
        expected += " [" + std::to_string(j++) + "] PID=KDX7401  BID=0x" + boards[name] + "\n";
    }
    EXPECT_EQ(listing(), expected);
}

TEST_F(List, AtMost32ModulesAreListed) {
    for (int i = 0; i < 33; ++i) {
        bed.add_module({});
    }
    const std::string output = listing();
    EXPECT_EQ(output.substr(0, output.find('\n')), "Found 32 KDX-7400 device(s):");
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 33);
    EXPECT_NE(output.find(" [31] PID=KDX7401  BID=0x0\n"), std::string::npos);
    EXPECT_EQ(output.find("[32]"), std::string::npos);
}

TEST_F(List, RawInquiryDataIsFilteredAndSearched) {
    struct Case {
        const char *name;
        Bytes raw;
        std::string line; // empty: not listed
    };
    Bytes interrupted = inquiry("KALMIR  KD");
    interrupted.push_back(0x01);
    for (char c : std::string("X-7403  #7")) {
        interrupted.push_back(static_cast<uint8_t>(c));
    }
    Bytes control_after_hash = inquiry("KALMIR  KDX-7401 #");
    control_after_hash.push_back(0x07);
    Bytes long_text = inquiry("KALMIR" + std::string(260, 'x') + "KDX-7401 #1");
    Bytes hash_first = {'#', 'C'};
    for (char c : std::string("KALMIR KDX-7401")) {
        hash_first.push_back(static_cast<uint8_t>(c));
    }
    const Case cases[] = {
        {"plain", inquiry("KALMIR  KDX-7401      #31.00"), " [0] PID=KDX7401  BID=0x3\n"},
        {"non-printable bytes inside the prefix", interrupted, " [0] PID=KDX7403  BID=0x7\n"},
        {"no hash", inquiry("KALMIR  KDX-7401      "), std::string(" [0] PID=KDX7401  BID=0x") +
                                                           '\0' + "\n"},
        {"hash as the last byte", inquiry("KALMIR  KDX-7401 #"),
         std::string(" [0] PID=KDX7401  BID=0x") + '\0' + "\n"},
        {"hash as the first byte", hash_first, " [0] PID=KDX7401  BID=0xC\n"},
        {"raw byte after the hash", control_after_hash, " [0] PID=KDX7401  BID=0x\x07\n"},
        {"hyphen rule", inquiry("KALMIR KDX-74ab-c-d more #5"), " [0] PID=KDX74ab_c-d  BID=0x5\n"},
        {"name cut at 31 characters", inquiry("KALMIR KDX-74" + std::string(40, 'z')),
         " [0] PID=KDX74" + std::string(25, 'z') + "  BID=0x" + '\0' + "\n"},
        {"no vendor", inquiry("ACME    KDX-7401      #3"), ""},
        {"no product prefix", inquiry("KALMIR  KDX-7501      #3"), ""},
        {"prefix beyond 255 printable characters", long_text, ""},
        {"empty attribute", {}, ""},
    };
    node = bed.add_module({});
    for (const Case &c : cases) {
        bed.write_sysfs_inquiry(node, c.raw);
        const std::string expected =
            c.line.empty() ? "No KDX-7400 devices found.\n" : "Found 1 KDX-7400 device(s):\n" + c.line;
        EXPECT_EQ(listing(), expected) << c.name;
    }
}

TEST_F(List, HiddenEntriesAreNeverRead) {
    node = bed.add_module({});
    std::filesystem::rename(bed.root() + "/sys/class/scsi_generic/" + node,
                            bed.root() + "/sys/class/scsi_generic/." + node);
    EXPECT_EQ(listing(), "No KDX-7400 devices found.\n");
}

TEST_F(List, DeviceListGivesEachModulesFields) {
    VirtualModule wanted;
    wanted.board_id = 3;
    wanted.product_id = 0x7405;
    wanted.product = "KDX-7405-R2   #3";
    node = bed.add_module(wanted);
    kdx7400_device_entry entries[4];
    std::size_t count = 99;
    EXPECT_EQ(KDX7400_GetDeviceList(entries, 4, &count), RESULT_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(std::string(entries[0].node), node);
    EXPECT_EQ(entries[0].product_id, 0x7405);
    EXPECT_EQ(entries[0].has_product_id, 1);
    EXPECT_EQ(entries[0].bid_char, '3');
    EXPECT_STREQ(entries[0].display_name, "KDX7405_R2");
    EXPECT_EQ(std::string(entries[0].product_name).substr(0, 16), "KDX-7405-R2   #3");
}

// What the bindings and kdxio show comes decoded from the library: the
// node's path, the board ID as a number or none, the product cut at its
// 16 characters without trailing blanks.
TEST_F(List, ModuleListDecodesEachModule) {
    struct Row {
        const char *product;
        uint8_t board_id;
        int16_t shown_board;
        const char *shown_product;
    };
    const Row rows[] = {
        {"KDX-7405-R2   #3", 3, 3, "KDX-7405-R2   #3"},
        {"KDX-7401      #B", 11, 11, "KDX-7401      #B"},
        {"KDX-7401         ", 0, -1, "KDX-7401"}, // no "#": no board ID
    };
    for (const Row &row : rows) {
        VirtualModule wanted;
        wanted.product = row.product;
        wanted.board_id = row.board_id;
        node = bed.add_module(wanted);
        kdx7400_module_entry entries[4];
        std::size_t count = 0;
        ASSERT_EQ(KDX7400_GetModuleList(entries, 4, &count), RESULT_OK) << row.product;
        const kdx7400_module_entry &e = entries[count - 1];
        EXPECT_EQ(std::string(e.node), "/dev/" + node) << row.product;
        EXPECT_EQ(e.board_id, row.shown_board) << row.product;
        EXPECT_STREQ(e.product, row.shown_product) << row.product;
        EXPECT_EQ(e.has_product_id, 1);
    }
    kdx7400_module_entry one[1];
    std::size_t count = 0;
    EXPECT_EQ(KDX7400_GetModuleList(one, 1, &count), RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(KDX7400_GetModuleList(nullptr, 1, &count), RESULT_INVALID_PARAM);
    bed.remove_class_directory();
    EXPECT_EQ(KDX7400_GetModuleList(one, 1, &count), RESULT_OPENDIR_FAILED);
}

TEST_F(List, DeviceListCountsBeyondItsCapacity) {
    kdx7400_device_entry entries[2];
    std::size_t count = 99;
    EXPECT_EQ(KDX7400_GetDeviceList(entries, 2, &count), RESULT_OK);
    EXPECT_EQ(count, 0u);
    for (int i = 0; i < 33; ++i) {
        bed.add_module({});
    }
    EXPECT_EQ(KDX7400_GetDeviceList(entries, 2, &count), RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 32u);
    EXPECT_STREQ(entries[1].display_name, "KDX7401");
    EXPECT_EQ(KDX7400_GetDeviceList(nullptr, 0, &count), RESULT_BUFFER_TOO_SMALL);
    EXPECT_EQ(KDX7400_GetDeviceList(nullptr, 2, &count), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_GetDeviceList(entries, 2, nullptr), RESULT_INVALID_PARAM);
    bed.remove_class_directory();
    EXPECT_EQ(KDX7400_GetDeviceList(entries, 2, &count), RESULT_OPENDIR_FAILED);
    EXPECT_EQ(count, 0u);
}

TEST_F(List, ListingShowsTheModulesOfTheDeviceList) {
    for (const int board : {4, 9, 15}) {
        VirtualModule wanted;
        wanted.board_id = static_cast<uint8_t>(board);
        bed.add_module(wanted);
    }
    kdx7400_device_entry entries[32];
    std::size_t count = 0;
    ASSERT_EQ(KDX7400_GetDeviceList(entries, 32, &count), RESULT_OK);
    std::multiset<std::string> expected;
    for (std::size_t j = 0; j < count; ++j) {
        expected.insert(std::string("PID=") + entries[j].display_name + "  BID=0x" + entries[j].bid_char);
    }
    std::multiset<std::string> printed;
    std::istringstream lines(listing());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Found " + std::to_string(count) + " KDX-7400 device(s):");
    while (std::getline(lines, line)) {
        printed.insert(line.substr(line.find("PID=")));
    }
    EXPECT_EQ(printed, expected);
}

// Tools show the device list; its [0] must not depend on directory order.
TEST_F(List, DeviceListIsInNodeNumberOrder) {
    for (const unsigned number : {10u, 2u, 33u, 1u}) {
        VirtualModule wanted;
        wanted.number = number;
        bed.add_module(wanted);
    }
    kdx7400_device_entry entries[32];
    std::size_t count = 0;
    ASSERT_EQ(KDX7400_GetDeviceList(entries, 32, &count), RESULT_OK);
    std::vector<std::string> nodes;
    for (std::size_t j = 0; j < count; ++j) {
        nodes.emplace_back(entries[j].node);
    }
    EXPECT_EQ(nodes, (std::vector<std::string>{"sg1", "sg2", "sg10", "sg33"}));
    for (unsigned number = 40; number < 70; ++number) {
        VirtualModule wanted;
        wanted.number = number;
        bed.add_module(wanted);
    }
    ASSERT_EQ(KDX7400_GetDeviceList(entries, 32, &count), RESULT_OK);
    EXPECT_EQ(count, 32u);
    EXPECT_STREQ(entries[0].node, "sg1");
    EXPECT_STREQ(entries[3].node, "sg33");
    EXPECT_STREQ(entries[31].node, "sg67") << "past 32 modules the highest nodes drop";
}

} // namespace
