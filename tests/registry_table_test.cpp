// SPDX-License-Identifier: MIT
// The table of open modules: module_init, closing, the count getters.
#include "support.h"

#include <cerrno>
#include <set>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace kdxtest;

using Getter = int16_t (*)(int32_t, uint8_t *);

struct CountGetter {
    const char *name;
    Getter get;
    uint8_t expected; // for the module opened below
};

const CountGetter kGetters[] = {
    {"DO", KDX7400_GetDOTotal, 32}, {"DI", KDX7400_GetDITotal, 64},
    {"AO", KDX7400_GetAOTotal, 2},  {"AI", KDX7400_GetAITotal, 4},
    {"PO", KDX7400_GetPOTotal, 1},  {"PI", KDX7400_GetPITotal, 3},
};

VirtualModule counted_module() {
    VirtualModule wanted;
    wanted.di = 64;
    wanted.do_ = 32;
    wanted.ai = 4;
    wanted.ao = 2;
    wanted.pi = 3;
    wanted.po = 1;
    return wanted;
}

class Table : public ModuleTest {};

TEST_F(Table, GettersReportTheCountsWithoutAskingTheModule) {
    open_module(counted_module());
    for (const CountGetter &getter : kGetters) {
        uint8_t total = 0xEE;
        EXPECT_EQ(getter.get(index, &total), RESULT_OK) << getter.name;
        EXPECT_EQ(total, getter.expected) << getter.name;
    }
    EXPECT_TRUE(transfers().empty());
}

TEST_F(Table, GettersRejectBadIndicesFreeSlotsAndMissingDestinations) {
    open_module(counted_module());
    struct Case {
        int32_t index;
        bool null_out;
        int16_t result;
    };
    const Case cases[] = {
        {32, false, RESULT_BAD_INDEX}, {-1, false, RESULT_BAD_INDEX},
        {32, true, RESULT_BAD_INDEX},  {-1, true, RESULT_BAD_INDEX},
        {31, false, RESULT_NOT_OPEN},  {1, true, RESULT_NOT_OPEN},
        {0, true, RESULT_INVALID_PARAM},
    };
    for (const CountGetter &getter : kGetters) {
        for (const Case &c : cases) {
            uint8_t total = 0xEE;
            EXPECT_EQ(getter.get(c.index, c.null_out ? nullptr : &total), c.result)
                << getter.name << " index " << c.index;
            EXPECT_EQ(total, 0xEE) << "destination untouched";
        }
    }
}

TEST_F(Table, ClosingFreesTheSlotOnce) {
    open_module();
    EXPECT_EQ(KDX7400_CloseDevice(index), RESULT_OK);
    EXPECT_EQ(bed.open_node_descriptors(), 0);
    EXPECT_EQ(KDX7400_CloseDevice(index), RESULT_NOT_OPEN);
    uint8_t total = 0;
    EXPECT_EQ(KDX7400_GetDOTotal(index, &total), RESULT_NOT_OPEN);
    EXPECT_EQ(KDX7400_CloseDevice(32), RESULT_BAD_INDEX);
    EXPECT_EQ(KDX7400_CloseDevice(-7), RESULT_BAD_INDEX);
}

TEST_F(Table, ClosedSlotIsReusedWithTheNewModulesCounts) {
    open_module(counted_module());
    ASSERT_EQ(KDX7400_CloseDevice(index), RESULT_OK);
    VirtualModule other;
    other.product_id = 0x7402;
    other.di = 8;
    other.do_ = 8;
    bed.add_module(other);
    EXPECT_EQ(KDX7400_OpenDevice(0x7402, 0), index);
    uint8_t di = 0;
    EXPECT_EQ(KDX7400_GetDITotal(index, &di), RESULT_OK);
    EXPECT_EQ(di, 8);
}

// An index kept past its close, or inherited by a child, names whatever
// is opened in the slot since: its generation tells them apart.
TEST_F(Table, AGenerationNamesOneOpenInOneProcess) {
    ASSERT_EQ(open_module(), 0);
    uint64_t first = 0;
    ASSERT_EQ(KDX7400_GetDeviceGeneration(0, &first), RESULT_OK);
    ASSERT_EQ(KDX7400_CloseDevice(0), RESULT_OK);
    ASSERT_EQ(KDX7400_OpenDevice(0x7401, 0), 0);
    uint64_t second = 0;
    ASSERT_EQ(KDX7400_GetDeviceGeneration(0, &second), RESULT_OK);
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const pid_t child = kdxtest::fork_child();
    if (child == 0) {
        // The child's own open takes index 0 again.
        uint64_t mine = 0;
        const bool ok = KDX7400_OpenDevice(0x7401, 0) == 0 && KDX7400_GetDeviceGeneration(0, &mine) == RESULT_OK;
        (void)!::write(pipe_ends[1], &mine, sizeof mine);
        const int16_t inherited = KDX7400_CheckDeviceGeneration(0, second);
        const int16_t closed = KDX7400_CloseDeviceGeneration(0, second);
        const int16_t own = KDX7400_CheckDeviceGeneration(0, mine);
        ::_exit(ok && inherited == RESULT_NOT_OPEN && closed == RESULT_NOT_OPEN && own == RESULT_OK ? 0 : 1);
    }
    uint64_t childs = 0;
    EXPECT_EQ(::read(pipe_ends[0], &childs, sizeof childs), static_cast<ssize_t>(sizeof childs));
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child acted on its own open through the parent's";
    EXPECT_NE(childs, second);
    const struct {
        const char *what;
        int16_t result;
        int16_t expected;
    } cases[] = {
        {"the open now", KDX7400_CheckDeviceGeneration(0, second), RESULT_OK},
        {"an earlier open", KDX7400_CheckDeviceGeneration(0, first), RESULT_NOT_OPEN},
        {"the child's", KDX7400_CheckDeviceGeneration(0, childs), RESULT_NOT_OPEN},
        {"none", KDX7400_CheckDeviceGeneration(0, 0), RESULT_NOT_OPEN},
        {"a free slot", KDX7400_CheckDeviceGeneration(1, second), RESULT_NOT_OPEN},
        {"a bad index", KDX7400_CheckDeviceGeneration(32, second), RESULT_BAD_INDEX},
        {"no destination", KDX7400_GetDeviceGeneration(0, nullptr), RESULT_INVALID_PARAM},
        {"closing an earlier open", KDX7400_CloseDeviceGeneration(0, first), RESULT_NOT_OPEN},
        {"still open", KDX7400_CheckDeviceGeneration(0, second), RESULT_OK},
        {"closing this open", KDX7400_CloseDeviceGeneration(0, second), RESULT_OK},
        {"closed", KDX7400_CheckDeviceGeneration(0, second), RESULT_NOT_OPEN},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.result, c.expected) << c.what;
    }
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

TEST_F(Table, LibraryVersionIsConstant) {
    EXPECT_STREQ(KDXIO_GetLibraryVersion(), "1.0.0");
    open_module();
    EXPECT_EQ(KDXIO_GetLibraryVersion(), KDXIO_GetLibraryVersion());
    EXPECT_STREQ(KDXIO_GetLibraryVersion(), "1.0.0");
}

class ModuleInit : public ModuleTest {
protected:
    void SetUp() override {
        node = bed.add_module(counted_module());
        slot.fd = ::open(("/dev/" + node).c_str(), O_RDWR);
        ASSERT_GE(slot.fd, 0);
        bed.clear_commands();
    }
    void TearDown() override { ::close(slot.fd); }
    module_slot slot{-1, 0, 9, 9, 9, 9, 9, 9};
};

TEST_F(ModuleInit, CopiesTheCountsOutputFirst) {
    EXPECT_EQ(module_init(&slot), RESULT_OK);
    EXPECT_EQ(slot.initialized, 1);
    EXPECT_EQ(slot.di_total, 64);
    EXPECT_EQ(slot.do_total, 32);
    EXPECT_EQ(slot.ai_total, 4);
    EXPECT_EQ(slot.ao_total, 2);
    EXPECT_EQ(slot.pi_total, 3);
    EXPECT_EQ(slot.po_total, 1);
    const Command read = only_transfer();
    EXPECT_EQ(read.lba(), LBA_MODULE_INFO);
    EXPECT_EQ(read.dxfer_len, 128u);
}

TEST_F(ModuleInit, FailuresLeaveTheCountsAndMarkTheSlotInitialized) {
    struct Case {
        const char *name;
        Fault fault;
        int16_t result;
    };
    const Case cases[] = {
        {"ioctl fails", ioctl_error(EIO), RESULT_READ_FAILED},
        {"no magic", fault(FaultKind::NoMagic), RESULT_BAD_HEADER},
    };
    for (const Case &c : cases) {
        slot.initialized = 0;
        bed.inject(c.fault);
        EXPECT_EQ(module_init(&slot), c.result) << c.name;
        EXPECT_EQ(slot.initialized, 1) << c.name;
        EXPECT_EQ(slot.di_total, 9) << c.name;
        EXPECT_EQ(slot.do_total, 9) << c.name;
        EXPECT_EQ(slot.po_total, 9) << c.name;
    }
    EXPECT_EQ(module_init(nullptr), RESULT_NULL_MODULE);
}

} // namespace

namespace {

TEST(ResultTexts, EveryCodeHasItsOwnText) {
    std::set<std::string> texts;
    for (int code = RESULT_OK; code <= RESULT_BUSY; ++code) {
        const std::string text = KDXIO_GetResultString(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_NE(text, "unknown result") << code;
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), 11u) << "texts are distinct";
    EXPECT_NE(std::string(KDXIO_GetResultString(RESULT_BAD_INDEX)).find("device index"),
              std::string::npos);
    for (const int code : {-1, 11, 255, 32767}) {
        EXPECT_STREQ(KDXIO_GetResultString(code), "unknown result");
    }
    EXPECT_EQ(KDXIO_GetResultString(RESULT_OK), KDXIO_GetResultString(RESULT_OK)) << "static";
}

TEST(ResultTexts, OpenResultsHaveTheirOwnTexts) {
    const std::set<std::string> texts = {KDXIO_GetOpenResultString(OPEN_NOT_FOUND),
                                         KDXIO_GetOpenResultString(OPEN_TABLE_FULL),
                                         KDXIO_GetOpenResultString(OPEN_BAD_BOARD_ID),
                                         KDXIO_GetOpenResultString(OPEN_BAD_PATH),
                                         KDXIO_GetOpenResultString(0)};
    EXPECT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts.count("unknown result"), 0u);
    EXPECT_STREQ(KDXIO_GetOpenResultString(31), KDXIO_GetOpenResultString(0));
    EXPECT_STRNE(KDXIO_GetOpenResultString(OPEN_PERMISSION_DENIED), "unknown result");
    EXPECT_STREQ(KDXIO_GetOpenResultString(-6), "unknown result");
    EXPECT_STREQ(KDXIO_GetOpenResultString(32), "unknown result");
}

} // namespace
