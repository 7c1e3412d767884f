// SPDX-License-Identifier: MIT
// The stand-in for the kernel: path redirection and the sg driver's checks.
#include "support.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using namespace kdxtest;

class Sim : public ModuleTest {};

TEST_F(Sim, GlobFindsNodesUnderTheirUsualNamesInSortedOrder) {
    for (unsigned number : {2u, 10u, 0u}) {
        VirtualModule wanted;
        wanted.number = number;
        bed.add_module(wanted);
    }
    glob_t found{};
    ASSERT_EQ(::glob("/dev/sg*", 0, nullptr, &found), 0);
    std::vector<std::string> paths(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    ::globfree(&found);
    EXPECT_EQ(paths, (std::vector<std::string>{"/dev/sg0", "/dev/sg10", "/dev/sg2"}));
}

TEST_F(Sim, RealpathOfTheDeviceLinkIsASysfsPath) {
    node = bed.add_module({});
    char resolved[PATH_MAX];
    ASSERT_NE(::realpath(("/sys/class/scsi_generic/" + node + "/device").c_str(), resolved),
              nullptr);
    EXPECT_EQ(std::string(resolved),
              "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host0/target0:0:0/0:0:0:0");
    EXPECT_EQ(::access("/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/idProduct", R_OK), 0);
}

TEST_F(Sim, TheLogKeepsTheLastEntriesItIsAllowed) {
    bed.store().set_log_limit(50);
    bed.clear_commands();
    for (int i = 0; i < 175; ++i) {
        bed.store().append_log("entry " + std::to_string(i));
    }
    const auto lines = bed.store().log_lines();
    ASSERT_EQ(lines.size(), 50u);
    EXPECT_EQ(lines.front(), "entry 125");
    EXPECT_EQ(lines.back(), "entry 174");
    const auto text = kdxsim::read_file(bed.root() + "/log");
    ASSERT_TRUE(text.has_value());
    EXPECT_LE(std::count(text->begin(), text->end(), '\n'), 100) << "the file is cut at twice the limit";
}

// The cut goes through the file a piece at a time: lines longer than a
// piece, and cuts that fall anywhere in one, keep the same lines.
TEST_F(Sim, TheLogIsCutAlikeWhateverTheLengthOfItsLines) {
    for (const auto &[limit, width] : {std::pair{3, 20000}, {7, 5000}, {40, 700}, {1, 1}}) {
        bed.store().clear_log();
        bed.store().set_log_limit(static_cast<uint64_t>(limit));
        bed.clear_commands();
        for (int i = 0; i < 2 * limit; ++i) { // the last one cuts
            bed.store().append_log(std::to_string(i) + std::string(static_cast<std::size_t>(width), 'x'));
        }
        const auto text = kdxsim::read_file(bed.root() + "/log");
        ASSERT_TRUE(text.has_value());
        std::string expected;
        for (int i = limit; i < 2 * limit; ++i) {
            expected += std::to_string(i) + std::string(static_cast<std::size_t>(width), 'x') + "\n";
        }
        EXPECT_EQ(*text, expected) << limit << " lines of " << width;
    }
}

// The state is changed in place, never replaced: a read costs no file
// rewrite, and every process's view of the module stays the same file.
TEST_F(Sim, CommandsKeepTheStateFileInPlace) {
    open_module();
    struct stat before {};
    ASSERT_EQ(::stat((bed.root() + "/modules/" + node + ".state").c_str(), &before), 0);
    uint64_t outputs = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(KDX7400_DO_ReadValue(index, &outputs), RESULT_OK);
        ASSERT_EQ(KDX7400_DO_WriteValue(index, static_cast<uint64_t>(i)), RESULT_OK);
    }
    bed.set_inputs(node, 0x5); // as kdx7400-sim inputs would, from the test's side
    EXPECT_EQ(KDX7400_DI_ReadValue(index, &outputs), RESULT_OK);
    EXPECT_EQ(outputs, 0x5u);
    struct stat after {};
    ASSERT_EQ(::stat((bed.root() + "/modules/" + node + ".state").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(state().registers.do_value, 9u);
}

// A testbed removed and made again at the same path is a new testbed to
// every process that used the old one.
TEST_F(Sim, ATestbedMadeAgainAtTheSamePathIsSeenAfresh) {
    const std::string root = bed.root() + "-again";
    for (const uint16_t product : {uint16_t{0x7401}, uint16_t{0x7402}}) {
        std::filesystem::remove_all(root);
        Testbed again(root, true);
        VirtualModule wanted;
        wanted.product_id = product;
        again.add_module(wanted);
        again.make_current();
        const int32_t opened = KDX7400_OpenDevice(product, 0);
        ASSERT_EQ(opened, 0) << std::hex << product;
        uint64_t outputs = 0;
        EXPECT_EQ(KDX7400_DO_ReadValue(opened, &outputs), RESULT_OK);
        KDX7400_CloseDevice(opened);
        EXPECT_FALSE(again.commands().empty());
    }
    std::filesystem::remove_all(root);
    bed.make_current();
}

TEST_F(Sim, WithoutATestbedNothingIsRedirected) {
    bed.add_module({});
    ::unsetenv(kdxsim::kTestbedEnv);
    glob_t found{};
    const int status = ::glob("/dev/sg*", 0, nullptr, &found);
    for (std::size_t i = 0; i < found.gl_pathc; ++i) {
        EXPECT_EQ(::access(found.gl_pathv[i], F_OK), 0) << "a real node";
    }
    ::globfree(&found);
    if (status == GLOB_NOMATCH) {
        EXPECT_EQ(::open("/dev/sg0", O_RDONLY), -1);
    }
    EXPECT_EQ(::access(("/sys/class/scsi_generic/sg0/device"), F_OK) == 0,
              ::access("/sys/class/scsi_generic", F_OK) == 0 &&
                  ::access("/sys/class/scsi_generic/sg0", F_OK) == 0);
    bed.make_current();
}

class SgRequest : public ModuleTest {
protected:
    void SetUp() override {
        node = bed.add_module({});
        fd = ::open(("/dev/" + node).c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        request.interface_id = 'S';
        request.dxfer_direction = SG_DXFER_FROM_DEV;
        request.cmd_len = 10;
        request.cmdp = cdb;
        request.dxfer_len = sizeof data;
        request.dxferp = data;
        request.mx_sb_len = sizeof sense;
        request.sbp = sense;
        request.timeout = 5000;
    }
    void TearDown() override { ::close(fd); }

    int send() { return ::ioctl(fd, SG_IO, &request) < 0 ? errno : 0; }

    int fd = -1;
    unsigned char cdb[10] = {0x28, 0, 0, 0, 0x21, 0x00, 0, 0, 1, 0};
    unsigned char data[64] = {};
    unsigned char sense[32] = {};
    sg_io_hdr_t request{};
};

TEST_F(SgRequest, MalformedRequestsGetTheKernelsErrno) {
    struct Case {
        const char *name;
        void (*spoil)(sg_io_hdr_t &);
        int error;
    };
    const Case cases[] = {
        {"interface id", [](sg_io_hdr_t &r) { r.interface_id = 'Q'; }, ENOSYS},
        {"short cdb", [](sg_io_hdr_t &r) { r.cmd_len = 5; }, EMSGSIZE},
        {"no cdb", [](sg_io_hdr_t &r) { r.cmdp = nullptr; }, EMSGSIZE},
        {"long cdb", [](sg_io_hdr_t &r) { r.cmd_len = 253; }, EMSGSIZE},
        {"write without data",
         [](sg_io_hdr_t &r) {
             r.dxfer_direction = SG_DXFER_TO_DEV;
             r.dxfer_len = 0;
         },
         EINVAL},
        {"no-data with a length", [](sg_io_hdr_t &r) { r.dxfer_direction = SG_DXFER_NONE; }, EINVAL},
        {"unknown direction", [](sg_io_hdr_t &r) { r.dxfer_direction = 7; }, EINVAL},
    };
    for (const Case &c : cases) {
        SetUp();
        c.spoil(request);
        EXPECT_EQ(send(), c.error) << c.name;
        TearDown();
    }
    SetUp();
}

TEST_F(SgRequest, ShortReadOfARegisterReportsTheResidual) {
    request.dxfer_len = 20;
    ASSERT_EQ(send(), 0);
    EXPECT_EQ(request.status, 0);
    EXPECT_EQ(request.resid, 0);
    EXPECT_EQ(data[0], 0xA5);
    cdb[4] = 0x30; // no register at 0x3000, beyond the disk
    ASSERT_EQ(send(), 0);
    EXPECT_EQ(request.status, 0x02);
    EXPECT_EQ(request.masked_status, 0x01);
    EXPECT_EQ(request.sb_len_wr, 18);
    EXPECT_EQ(sense[2], 0x05);
    EXPECT_EQ(sense[12], 0x21);
    EXPECT_EQ(request.resid, 20);
}

TEST_F(SgRequest, WritesWithoutTheMagicAreRefused) {
    unsigned char block[17] = {};
    block[16] = 9;
    cdb[0] = 0x2A;
    cdb[4] = 0x20;
    cdb[5] = 0x13;
    request.dxfer_direction = SG_DXFER_TO_DEV;
    request.dxferp = block;
    request.dxfer_len = sizeof block;
    ASSERT_EQ(send(), 0);
    EXPECT_EQ(request.status, 0x02);
    EXPECT_EQ(sense[12], 0x26);
    EXPECT_EQ(state().registers.opcode, 0);
}

TEST_F(SgRequest, RegistersOnlyAnswerTheirDirections) {
    cdb[4] = 0x20;
    cdb[5] = 0x11; // LBA_SOFT_WDT is written, never read
    ASSERT_EQ(send(), 0);
    EXPECT_EQ(request.status, 0x02);
    EXPECT_EQ(sense[12], 0x24);
}

// Where the firmware keeps each field, in byte literals that share nothing
// with the register map the library and the virtual module both read: a
// wrong entry there moves both alike, and only these rows see it.
TEST_F(Sim, RegistersSitWhereTheFirmwareKeepsThem) {
    VirtualModule wide = module_with(64, 64);
    wide.firmware_version = 0x0A0B;
    wide.firmware_date = "2031-12-24";
    node = bed.add_module(wide);
    bed.update(node, [](kdxsim::ModuleState &s) {
        s.registers.wdt_timeout = 0x01020304;
        s.registers.di_physical = 0x1122334455667788;
        s.registers.safety_first = 0xF1000000000000E1;
        s.registers.safety_second = 0xF2000000000000E2;
        s.registers.counters[0] = 0xC0C0C0C0;
        s.registers.counters[63] = 0xC63C63C6;
        std::memcpy(s.registers.nickname, "rig", 3);
    });
    const int fd = ::open(("/dev/" + node).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct Row {
        const char *field;
        uint32_t lba, length, offset;
        Bytes expected;
    };
    const Row rows[] = {
        {"firmware version", 0x2100, 128, 48, {0x0B, 0x0A}},
        {"firmware date", 0x2100, 128, 50, {'2', '0', '3', '1', '-', '1', '2', '-', '2', '4'}},
        {"watchdog time-out", 0x2100, 128, 60, {0x04, 0x03, 0x02, 0x01}},
        {"input levels", 0x2100, 128, 64, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
        {"channel counts", 0x2100, 128, 72, {64, 64, 0, 0, 0, 0}},
        {"safety, low halves", 0x2042, 32, 16, {0xE1, 0, 0, 0, 0xE2, 0, 0, 0}},
        {"safety, high halves", 0x2042, 32, 24, {0, 0, 0, 0xF1, 0, 0, 0, 0xF2}},
        {"first counter", 0x2024, 272, 16, {0xC0, 0xC0, 0xC0, 0xC0}},
        {"last counter", 0x2024, 272, 268, {0xC6, 0x63, 0x3C, 0xC6}},
        {"nickname", 0x2010, 48, 16, {'r', 'i', 'g', 0}},
    };
    for (const Row &row : rows) {
        Bytes block(row.length, 0);
        ASSERT_EQ(readLBA(fd, row.lba, block.data(), row.length), static_cast<int32_t>(row.length)) << row.field;
        EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), (Bytes{0xA5, 0x77, 0x35, 0x5A})) << row.field;
        EXPECT_EQ(Bytes(block.begin() + row.offset, block.begin() + row.offset + row.expected.size()), row.expected)
            << row.field;
    }
    ::close(fd);
}

// The outcome the real kernel showed for a module leaving mid-read: the
// library's tests rely on the stand-in reproducing it byte for byte.
TEST_F(Sim, AVanishingModuleHandsBackThePreviousCommandsBytes) {
    node = bed.add_module({});
    const int fd = ::open(("/dev/" + node).c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const auto request = [fd](uint8_t *data, uint32_t length, uint16_t lba) {
        uint8_t cdb[10] = {0x28, 0, 0, 0, static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0, 0, 1, 0};
        sg_io_hdr_t r{};
        r.interface_id = 'S';
        r.dxfer_direction = SG_DXFER_FROM_DEV;
        r.cmd_len = 10;
        r.cmdp = cdb;
        r.dxfer_len = length;
        r.dxferp = data;
        r.timeout = 5000;
        const int result = ::ioctl(fd, SG_IO, &r);
        return std::pair{result, r};
    };
    Bytes info(128, 0);
    ASSERT_EQ(request(info.data(), 128, LBA_MODULE_INFO).first, 0);
    bed.inject(fault(FaultKind::Vanish));
    Bytes outputs(24, 0xCC);
    const auto [result, outcome] = request(outputs.data(), 24, LBA_DO_VALUE);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(outcome.host_status, 0x07);
    EXPECT_EQ(outcome.resid, 0);
    EXPECT_EQ(outputs, Bytes(info.begin(), info.begin() + 24));
    errno = 0;
    EXPECT_EQ(request(outputs.data(), 24, LBA_DO_VALUE).first, -1);
    EXPECT_EQ(errno, ENODEV);
    ::close(fd);
}

} // namespace
