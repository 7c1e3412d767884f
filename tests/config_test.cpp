// SPDX-License-Identifier: MIT
// Identity, settings, commands and the watchdog, against virtual modules.
#include "support.h"

#include <cerrno>
#include <cstring>

namespace {

using namespace kdxtest;

class Config : public ModuleTest {
protected:
    void SetUp() override { ASSERT_EQ(open_module(16, 16), 0); }
};

TEST_F(Config, IndexAndOpenTestsComeFirstAndNullsAreHandled) {
    char text[40];
    uint16_t word = 0xEEEE;
    uint8_t byte = 0xEE;
    uint32_t timeout = 0xEEEE;
    struct Case {
        const char *call;
        std::function<int16_t()> run;
        int16_t result;
    };
    const Case cases[] = {
        {"GetFwVer(-1, null)", [] { return KDX7400_GetFwVer(-1, nullptr); }, 8},
        {"GetFwVer(free)", [&] { return KDX7400_GetFwVer(5, &word); }, 2},
        {"GetFwVer(open, null)", [] { return KDX7400_GetFwVer(0, nullptr); }, 7},
        {"GetFwDate(32, null)", [] { return KDX7400_GetFwDate(32, nullptr); }, 8},
        {"GetFwDate(free)", [&] { return KDX7400_GetFwDate(5, text); }, 2},
        {"GetFwDate(open, null)", [] { return KDX7400_GetFwDate(0, nullptr); }, 7},
        {"SetDeviceNickName(-1, null)", [] { return KDX7400_SetDeviceNickName(-1, nullptr); }, 8},
        {"SetDeviceNickName(free)", [] { return KDX7400_SetDeviceNickName(5, "x"); }, 2},
        {"GetDeviceNickName(32, null)", [] { return KDX7400_GetDeviceNickName(32, nullptr); }, 8},
        {"GetDeviceNickName(free, null)", [] { return KDX7400_GetDeviceNickName(5, nullptr); }, 2},
        {"SetWriteProtect(40)", [] { return KDX7400_SetWriteProtect(40, 1); }, 8},
        {"SetWriteProtect(free)", [] { return KDX7400_SetWriteProtect(5, 1); }, 2},
        {"GetWriteProtect(40)", [&] { return KDX7400_GetWriteProtect(40, &byte); }, 8},
        {"GetWriteProtect(free)", [&] { return KDX7400_GetWriteProtect(5, &byte); }, 2},
        {"SetFrameRateFactor(32)", [] { return KDX7400_SetFrameRateFactor(32, 1); }, 8},
        {"GetFrameRateFactor(-1)", [&] { return KDX7400_GetFrameRateFactor(-1, &byte); }, 8},
        {"LoadDefault(40)", [] { return KDX7400_LoadDefault(40); }, 8},
        {"LoadDefault(free)", [] { return KDX7400_LoadDefault(5); }, 2},
        {"SYNCDevice(40)", [] { return KDX7400_SYNCDevice(40); }, 8},
        {"SYNCDevice(free)", [] { return KDX7400_SYNCDevice(5); }, 2},
        {"ForceReset(40)", [] { return KDX7400_ForceReset(40); }, 8},
        {"ForceReset(free)", [] { return KDX7400_ForceReset(5); }, 2},
        {"setopcode(40)", [] { return setopcode(40, 1); }, 8},
        {"setopcode(free)", [] { return setopcode(5, 1); }, 2},
        {"getopcode(40, null)", [] { return getopcode(40, nullptr); }, 8},
        {"getopcode(free, null)", [] { return getopcode(5, nullptr); }, 2},
        {"getopcode(open, null)", [] { return getopcode(0, nullptr); }, 7},
        {"SetSoftWDTTimeout(40, 99)", [] { return KDX7400_SetSoftWDTTimeout(40, 99); }, 7},
        {"SetSoftWDTTimeout(free, 99)", [] { return KDX7400_SetSoftWDTTimeout(5, 99); }, 7},
        {"SetSoftWDTTimeout(open, 0)", [] { return KDX7400_SetSoftWDTTimeout(0, 0); }, 7},
        {"SetSoftWDTTimeout(open, 1800001)", [] { return KDX7400_SetSoftWDTTimeout(0, 1800001); }, 7},
        {"SetSoftWDTTimeout(40, 100)", [] { return KDX7400_SetSoftWDTTimeout(40, 100); }, 8},
        {"SetSoftWDTTimeout(free, 100)", [] { return KDX7400_SetSoftWDTTimeout(5, 100); }, 2},
        {"GetSoftWDTTimeout(32, null)", [] { return KDX7400_GetSoftWDTTimeout(32, nullptr); }, 8},
        {"GetSoftWDTTimeout(free)", [&] { return KDX7400_GetSoftWDTTimeout(5, &timeout); }, 2},
        {"GetSoftWDTTimeout(open, null)", [] { return KDX7400_GetSoftWDTTimeout(0, nullptr); }, 7},
        {"ClearWDTErrLED(-1)", [] { return KDX7400_ClearWDTErrLED(-1); }, 8},
        {"ClearWDTErrLED(free)", [] { return KDX7400_ClearWDTErrLED(5); }, 2},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.run(), c.result) << c.call;
        EXPECT_TRUE(transfers().empty()) << c.call;
        bed.clear_commands();
    }
    EXPECT_EQ(word, 0xEEEE);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(timeout, 0xEEEEu);
}

TEST_F(Config, FrameRateFactorHasNoOpenTest) {
    uint8_t factor = 0xEE;
    EXPECT_EQ(KDX7400_SetFrameRateFactor(5, 3), RESULT_WRITE_FAILED);
    EXPECT_EQ(KDX7400_GetFrameRateFactor(5, &factor), RESULT_READ_FAILED);
    EXPECT_EQ(KDX7400_GetFrameRateFactor(5, nullptr), RESULT_READ_FAILED);
    EXPECT_EQ(factor, 0xEE);
}

TEST_F(Config, NicknameFillsAThirtyTwoByteField) {
    struct Case {
        const char *name;
        const char *nickname;
        Bytes field;
    };
    const std::string forty(40, 'n');
    const std::string thirty_two(32, 'm');
    const Case cases[] = {
        {"short", "ABC", {0x41, 0x42, 0x43}},
        {"forty characters", forty.c_str(), Bytes(32, 'n')},
        {"exactly 32", thirty_two.c_str(), Bytes(32, 'm')},
        {"none", nullptr, {}},
        {"empty", "", {}},
    };
    for (const Case &c : cases) {
        bed.clear_commands();
        const std::string copy = c.nickname ? std::string(c.nickname) : std::string();
        EXPECT_EQ(KDX7400_SetDeviceNickName(index, c.nickname ? copy.c_str() : nullptr), RESULT_OK);
        EXPECT_EQ(only_transfer().lba(), LBA_NICKNAME);
        EXPECT_EQ(written(), block(48, {{16, c.field}})) << c.name;
    }
}

TEST_F(Config, NicknameIsReadWholeAndTerminated) {
    char name[40];
    std::memset(name, 'x', sizeof name);
    bed.inject(reply_bytes(16, Bytes(32, 'Q')));
    EXPECT_EQ(KDX7400_GetDeviceNickName(index, name), RESULT_OK);
    EXPECT_EQ(std::string(name), std::string(32, 'Q'));
    EXPECT_EQ(name[33], 'x');

    ASSERT_EQ(KDX7400_SetDeviceNickName(index, "ABC"), RESULT_OK);
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(KDX7400_GetDeviceNickName(index, name), RESULT_OK);
    EXPECT_STREQ(name, "ABC");
    EXPECT_EQ(Bytes(name + 3, name + 33), Bytes(30, 0)) << "all 32 bytes copied";

    bed.clear_commands();
    EXPECT_EQ(KDX7400_GetDeviceNickName(index, nullptr), RESULT_OK);
    EXPECT_EQ(transfers().size(), 1u) << "the read is made all the same";
    bed.inject(fault(FaultKind::NoMagic));
    EXPECT_EQ(KDX7400_GetDeviceNickName(index, name), RESULT_OK) << "any header accepted";
    bed.inject(ioctl_error(EIO));
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(KDX7400_GetDeviceNickName(index, name), RESULT_READ_FAILED);
    EXPECT_EQ(name[0], 'x');
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_SetDeviceNickName(index, "x"), RESULT_WRITE_FAILED);
}

// One read of the module-info block answers what four getters would.
TEST_F(Config, ModuleInfoIsOneReadOfWhatTheGettersSay) {
    bed.update(node, [](kdxsim::ModuleState &s) {
        s.registers.wdt_timeout = 1800000;
        s.registers.di_physical = 0x8001;
    });
    bed.clear_commands();
    kdx7400_module_info info{};
    ASSERT_EQ(KDX7400_ReadModuleInfo(index, &info), RESULT_OK);
    ASSERT_EQ(transfers().size(), 1u);
    EXPECT_EQ(transfers()[0].lba(), LBA_MODULE_INFO);
    uint16_t version = 0;
    uint32_t timeout = 0;
    uint64_t inputs = 0;
    char date[11];
    ASSERT_EQ(KDX7400_GetFwVer(index, &version), RESULT_OK);
    ASSERT_EQ(KDX7400_GetFwDate(index, date), RESULT_OK);
    ASSERT_EQ(KDX7400_GetSoftWDTTimeout(index, &timeout), RESULT_OK);
    ASSERT_EQ(KDX7400_DI_ReadValue(index, &inputs), RESULT_OK);
    EXPECT_EQ(info.firmware_version, version);
    EXPECT_STREQ(info.firmware_date, date);
    EXPECT_EQ(info.watchdog_timeout, 1800000u) << "all 32 bits";
    EXPECT_EQ(info.inputs, inputs);
    EXPECT_EQ(info.inputs, 0x8001u);
    EXPECT_EQ(info.di_total, 16);
    EXPECT_EQ(info.do_total, 16);

    const kdx7400_module_info before = info;
    bed.inject(reply_bytes(0, {0, 0, 0, 0}));
    EXPECT_EQ(KDX7400_ReadModuleInfo(index, &info), RESULT_BAD_HEADER);
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_ReadModuleInfo(index, &info), RESULT_READ_FAILED);
    EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << "written only on success";
    EXPECT_EQ(KDX7400_ReadModuleInfo(index, nullptr), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_ReadModuleInfo(40, &info), RESULT_BAD_INDEX);
    EXPECT_EQ(KDX7400_ReadModuleInfo(31, &info), RESULT_NOT_OPEN);
}

TEST_F(Config, FirmwareVersionValidatesAndDateDoesNot) {
    bed.inject(reply_bytes(48, {0x10, 0x02}));
    uint16_t version = 0;
    EXPECT_EQ(KDX7400_GetFwVer(index, &version), RESULT_OK);
    EXPECT_EQ(version, 0x0210);
    EXPECT_EQ(only_transfer().dxfer_len, 50u);

    char date[12];
    std::memset(date, 'x', sizeof date);
    bed.clear_commands();
    EXPECT_EQ(KDX7400_GetFwDate(index, date), RESULT_OK);
    EXPECT_STREQ(date, "2026-03-14");
    EXPECT_EQ(only_transfer().dxfer_len, 60u);
    EXPECT_EQ(date[11], 'x');

    Bytes no_magic = {0, 0, 0, 0};
    bed.inject(reply_bytes(0, no_magic));
    version = 0xEEEE;
    EXPECT_EQ(KDX7400_GetFwVer(index, &version), RESULT_BAD_HEADER);
    EXPECT_EQ(version, 0xEEEE);
    Fault odd_date = reply_bytes(0, {0, 0, 0, 0});
    bed.inject(odd_date);
    EXPECT_EQ(KDX7400_GetFwDate(index, date), RESULT_OK);
    EXPECT_STREQ(date, "2026-03-14");
    bed.inject(reply_bytes(50, {'A', 0, 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I'}));
    EXPECT_EQ(KDX7400_GetFwDate(index, date), RESULT_OK);
    EXPECT_EQ(std::string(date, 11), std::string("A\0BCDEFGHI", 10) + '\0');
}

TEST_F(Config, ByteSettingsRoundTripThroughTheModule) {
    EXPECT_EQ(KDX7400_SetWriteProtect(index, 0x80), RESULT_OK);
    EXPECT_EQ(written(), block(17, {{16, {1}}}));
    EXPECT_EQ(state().registers.write_protect, 1);
    bed.clear_commands();
    EXPECT_EQ(KDX7400_SetWriteProtect(index, 0), RESULT_OK);
    EXPECT_EQ(written(), block(17, {{16, {0}}}));
    EXPECT_EQ(KDX7400_SetFrameRateFactor(index, 200), RESULT_OK);
    EXPECT_EQ(setopcode(index, 0x42), RESULT_OK);
    uint8_t protect = 0xEE, factor = 0, opcode = 0;
    EXPECT_EQ(KDX7400_GetWriteProtect(index, &protect), RESULT_OK);
    EXPECT_EQ(KDX7400_GetFrameRateFactor(index, &factor), RESULT_OK);
    EXPECT_EQ(getopcode(index, &opcode), RESULT_OK);
    EXPECT_EQ(protect, 0);
    EXPECT_EQ(factor, 200);
    EXPECT_EQ(opcode, 0x42);
    EXPECT_EQ(state().registers.frame_rate_factor, 200);
}

TEST_F(Config, OnlyTheOpcodeGetterChecksTheReplyMagic) {
    const Bytes odd = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    uint8_t value = 0xEE;
    bed.inject(reply_bytes(0, odd));
    EXPECT_EQ(KDX7400_GetWriteProtect(index, &value), RESULT_OK);
    EXPECT_EQ(value, 2) << "passed on unfolded";
    bed.inject(reply_bytes(0, odd));
    value = 0xEE;
    EXPECT_EQ(KDX7400_GetFrameRateFactor(index, &value), RESULT_OK);
    EXPECT_EQ(value, 2);
    bed.inject(reply_bytes(0, odd));
    value = 0xEE;
    EXPECT_EQ(getopcode(index, &value), RESULT_BAD_HEADER);
    EXPECT_EQ(value, 0xEE);
    bed.clear_commands();
    EXPECT_EQ(KDX7400_GetWriteProtect(index, nullptr), RESULT_OK);
    EXPECT_EQ(KDX7400_GetFrameRateFactor(index, nullptr), RESULT_OK);
    EXPECT_EQ(transfers().size(), 2u);
}

TEST_F(Config, CommandsSendTheTriggerByte) {
    struct Case {
        int16_t (*command)(int32_t);
        uint32_t lba;
    };
    for (const Case c : {Case{KDX7400_LoadDefault, LBA_LOAD_DEFAULT}, Case{KDX7400_SYNCDevice, LBA_SYNC},
                         Case{KDX7400_ForceReset, LBA_FORCE_RESET}}) {
        bed.clear_commands();
        EXPECT_EQ(c.command(index), RESULT_OK);
        EXPECT_EQ(only_transfer().lba(), c.lba);
        EXPECT_EQ(written(), block(17, {{16, {0x5A}}}));
        bed.inject(ioctl_error(EIO));
        EXPECT_EQ(c.command(index), RESULT_WRITE_FAILED);
    }
    const auto seen = state().seen;
    EXPECT_EQ(seen.load_default, 1u);
    EXPECT_EQ(seen.sync, 1u);
    EXPECT_EQ(seen.reset, 1u);
    uint8_t outputs = 0;
    EXPECT_EQ(KDX7400_GetDOTotal(index, &outputs), RESULT_OK) << "slot stays open after reset";
    EXPECT_EQ(outputs, 16);
}

class Watchdog : public Config {};

TEST_F(Watchdog, TimeoutRangeIsInclusive) {
    for (const uint32_t timeout : {100u, 500u, 1800000u}) {
        bed.clear_commands();
        EXPECT_EQ(KDX7400_SetSoftWDTTimeout(index, timeout), RESULT_OK);
        EXPECT_EQ(only_transfer().lba(), LBA_SOFT_WDT);
        Bytes field(4);
        setU32Val(field.data(), timeout);
        EXPECT_EQ(written(), block(20, {{16, field}}));
    }
    EXPECT_EQ(state().registers.wdt_timeout, 1800000u);
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_SetSoftWDTTimeout(index, 500), RESULT_WRITE_FAILED);
    // As a setting, 0 is off and the range is the same.
    EXPECT_EQ(KDX7400_SetWatchdog(index, 0), RESULT_OK);
    EXPECT_EQ(state().registers.wdt_timeout, 0u);
    EXPECT_EQ(KDX7400_SetWatchdog(index, 99), RESULT_INVALID_PARAM);
    EXPECT_EQ(KDX7400_SetWatchdog(index, 700), RESULT_OK);
    EXPECT_EQ(state().registers.wdt_timeout, 700u);
}

TEST_F(Watchdog, TimeoutIsReadWithItsTopByte) {
    struct Case {
        Bytes field;
        uint32_t timeout;
    };
    for (const Case &c : {Case{{0x40, 0x77, 0x1B, 0x00}, 1800000u},
                          Case{{0x40, 0x77, 0x1B, 0x01}, 0x011B7740u}}) {
        bed.clear_commands();
        bed.inject(reply_bytes(60, c.field));
        uint32_t timeout = 0;
        EXPECT_EQ(KDX7400_GetSoftWDTTimeout(index, &timeout), RESULT_OK);
        EXPECT_EQ(timeout, c.timeout);
        EXPECT_EQ(only_transfer().dxfer_len, 64u);
    }
    uint32_t timeout = 0xEE;
    bed.inject(fault(FaultKind::NoMagic));
    EXPECT_EQ(KDX7400_GetSoftWDTTimeout(index, &timeout), RESULT_BAD_HEADER);
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_GetSoftWDTTimeout(index, &timeout), RESULT_READ_FAILED);
    EXPECT_EQ(timeout, 0xEEu);
}

TEST_F(Watchdog, ClearingWritesZeroThenTheTimeoutReadBefore) {
    for (const uint32_t reported : {500u, 50u, 0x01000064u}) {
        bed.update(node, [=](kdxsim::ModuleState &s) { s.registers.wdt_timeout = reported; });
        bed.clear_commands();
        EXPECT_EQ(KDX7400_ClearWDTErrLED(index), RESULT_OK);
        const auto sent = transfers();
        ASSERT_EQ(sent.size(), 3u);
        EXPECT_EQ(sent[0].lba(), LBA_MODULE_INFO);
        EXPECT_EQ(sent[0].dxfer_len, 64u);
        Bytes field(4);
        setU32Val(field.data(), reported);
        EXPECT_EQ(sent[1].lba(), LBA_SOFT_WDT);
        EXPECT_EQ(sent[1].data, block(20, {{16, {0, 0, 0, 0}}}));
        EXPECT_EQ(sent[2].data, block(20, {{16, field}}));
        EXPECT_EQ(state().registers.wdt_timeout, reported);
    }
}

TEST_F(Watchdog, ClearingStopsAtAFailedReadAndRestoresTheTimeoutOnceRead) {
    struct Case {
        const char *name;
        Fault fault;
        int16_t result;
        std::size_t transfers;
    };
    const Case cases[] = {
        {"no magic", fault(FaultKind::NoMagic), RESULT_BAD_HEADER, 1},
        {"read fails", ioctl_error(EIO), RESULT_READ_FAILED, 1},
        // The module may have taken the clear without answering: the
        // time-out read before is written back all the same.
        {"first write fails", for_opcode(ioctl_error(EIO), kWrite10), RESULT_WRITE_FAILED, 3},
    };
    for (const Case &c : cases) {
        bed.update(node, [](kdxsim::ModuleState &s) { s.registers.wdt_timeout = 700; });
        bed.clear_commands();
        bed.inject(c.fault);
        EXPECT_EQ(KDX7400_ClearWDTErrLED(index), c.result) << c.name;
        EXPECT_EQ(transfers().size(), c.transfers) << c.name;
        EXPECT_EQ(state().registers.wdt_timeout, 700u) << c.name;
    }
    Fault second_write = for_opcode(ioctl_error(EIO), kWrite10);
    // A fault that changes nothing lets the first write pass.
    bed.inject(for_opcode(fault(FaultKind::ChosenBytes), kWrite10));
    bed.inject(second_write);
    EXPECT_EQ(KDX7400_ClearWDTErrLED(index), RESULT_WRITE_FAILED);
}

TEST_F(Watchdog, ExpiryAppliesTheSafetyValuesUntilCleared) {
    ASSERT_EQ(KDX7400_DO_WriteValue(index, 0xFFF0), RESULT_OK);
    ASSERT_EQ(KDX7400_DO_SetSafetyEnable(index, 0x00FF, 0x000F), RESULT_OK);
    ASSERT_EQ(KDX7400_SetSoftWDTTimeout(index, 500), RESULT_OK);
    bed.advance(499);
    EXPECT_EQ(state().registers.wdt_expired, 0);
    uint64_t outputs = 0;
    ASSERT_EQ(KDX7400_DO_ReadValue(index, &outputs), RESULT_OK); // feeds the watchdog
    bed.advance(499);
    EXPECT_EQ(state().registers.wdt_expired, 0);
    bed.advance(1);
    EXPECT_EQ(state().registers.wdt_expired, 1);
    ASSERT_EQ(KDX7400_DO_ReadValue(index, &outputs), RESULT_OK);
    EXPECT_EQ(outputs, 0xFF0Fu);
    EXPECT_EQ(KDX7400_ClearWDTErrLED(index), RESULT_OK);
    EXPECT_EQ(state().registers.wdt_expired, 0);
    uint32_t timeout = 0;
    EXPECT_EQ(KDX7400_GetSoftWDTTimeout(index, &timeout), RESULT_OK);
    EXPECT_EQ(timeout, 500u);
}

// Off without a reset to defaults: the other settings stay, and a silent
// controller no longer makes the outputs take their safety values.
TEST_F(Watchdog, DisablingStopsExpiryAndKeepsEverySetting) {
    ASSERT_EQ(KDX7400_DO_WriteValue(index, 0x00F0), RESULT_OK);
    ASSERT_EQ(KDX7400_DO_SetSafetyEnable(index, 0x00FF, 0x000F), RESULT_OK);
    ASSERT_EQ(KDX7400_SetDeviceNickName(index, "press 4"), RESULT_OK);
    ASSERT_EQ(KDX7400_SetSoftWDTTimeout(index, 500), RESULT_OK);
    bed.clear_commands();
    EXPECT_EQ(KDX7400_DisableSoftWDT(index), RESULT_OK);
    ASSERT_EQ(transfers().size(), 1u);
    EXPECT_EQ(transfers()[0].lba(), LBA_SOFT_WDT);
    uint32_t timeout = 1;
    EXPECT_EQ(KDX7400_GetSoftWDTTimeout(index, &timeout), RESULT_OK);
    EXPECT_EQ(timeout, 0u);
    bed.advance(5000);
    EXPECT_EQ(state().registers.wdt_expired, 0);
    EXPECT_EQ(state().registers.do_value, 0x00F0u);
    EXPECT_EQ(state().registers.safety_first, 0x00FFu);
    EXPECT_STREQ(state().registers.nickname, "press 4");
    EXPECT_EQ(KDX7400_DisableSoftWDT(40), RESULT_BAD_INDEX);
    EXPECT_EQ(KDX7400_DisableSoftWDT(31), RESULT_NOT_OPEN);
    bed.inject(ioctl_error(EIO));
    EXPECT_EQ(KDX7400_DisableSoftWDT(index), RESULT_WRITE_FAILED);
}

TEST_F(Config, SettingsSurviveInTheModuleAcrossOpens) {
    ASSERT_EQ(KDX7400_SetDeviceNickName(index, "rig-7"), RESULT_OK);
    ASSERT_EQ(KDX7400_CloseDevice(index), RESULT_OK);
    ASSERT_EQ(KDX7400_OpenDevice(0x7401, 0), 0);
    char name[33] = {};
    EXPECT_EQ(KDX7400_GetDeviceNickName(0, name), RESULT_OK);
    EXPECT_STREQ(name, "rig-7");
    EXPECT_EQ(KDX7400_LoadDefault(0), RESULT_OK);
    EXPECT_EQ(KDX7400_GetDeviceNickName(0, name), RESULT_OK);
    EXPECT_STREQ(name, "");
}

} // namespace
