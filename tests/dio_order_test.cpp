// SPDX-License-Identifier: MIT
// Every digital I/O operation tests its arguments in its own order before
// anything reaches the module. One table: operation, arguments, result.
#include "support.h"

namespace {

using namespace kdxtest;

constexpr int32_t kOutOfRange = 40;
constexpr int32_t kFree = 5;

struct OrderCase {
    const char *call;
    std::function<int16_t()> run;
    int16_t result;
};

class ArgumentOrder : public ModuleTest {
protected:
    void SetUp() override { ASSERT_EQ(open_module(16, 16), 0); }

    uint64_t mask = 0xEEEEu;
    uint64_t other = 0xDDDDu;
    uint8_t byte = 0xEE;
    uint16_t word = 0xEEEE;
    uint32_t counter = 0xEEEEu;
    uint32_t counters[64] = {};

    std::vector<OrderCase> cases() {
        return {
            {"DO_WriteValue(40)", [] { return KDX7400_DO_WriteValue(kOutOfRange, 1); }, 8},
            {"DO_WriteValue(free)", [] { return KDX7400_DO_WriteValue(kFree, 1); }, 2},
            {"DO_WriteChannel(40, ch 64)", [] { return KDX7400_DO_WriteChannel(kOutOfRange, 64, 0); }, 7},
            {"DO_WriteChannel(40, state 2)", [] { return KDX7400_DO_WriteChannel(kOutOfRange, 0, 2); }, 7},
            {"DO_WriteChannel(40)", [] { return KDX7400_DO_WriteChannel(kOutOfRange, 63, 1); }, 8},
            {"DO_WriteChannel(-1)", [] { return KDX7400_DO_WriteChannel(-1, 0, 1); }, 8},
            {"DO_WriteChannel(free)", [] { return KDX7400_DO_WriteChannel(kFree, 0, 1); }, 2},
            {"DO_ReadValue(40, null)", [] { return KDX7400_DO_ReadValue(kOutOfRange, nullptr); }, 7},
            {"DO_ReadValue(40)", [this] { return KDX7400_DO_ReadValue(kOutOfRange, &mask); }, 8},
            {"DO_ReadValue(free)", [this] { return KDX7400_DO_ReadValue(kFree, &mask); }, 2},
            {"DO_SetPowerOnEnable(32)", [] { return KDX7400_DO_SetPowerOnEnable(32, 1); }, 8},
            {"DO_SetPowerOnEnable(free)", [] { return KDX7400_DO_SetPowerOnEnable(kFree, 1); }, 2},
            {"DO_SetPowerOnEnableToChannel(40, ch 64)",
             [] { return KDX7400_DO_SetPowerOnEnableToChannel(kOutOfRange, 64, 1); }, 7},
            {"DO_SetPowerOnEnableToChannel(40, state 2)",
             [] { return KDX7400_DO_SetPowerOnEnableToChannel(kOutOfRange, 1, 2); }, 7},
            {"DO_SetPowerOnEnableToChannel(40)",
             [] { return KDX7400_DO_SetPowerOnEnableToChannel(kOutOfRange, 1, 0); }, 8},
            {"DO_SetPowerOnEnableToChannel(free)",
             [] { return KDX7400_DO_SetPowerOnEnableToChannel(kFree, 1, 0); }, 2},
            {"DO_GetPowerOnEnable(40, null)", [] { return KDX7400_DO_GetPowerOnEnable(kOutOfRange, nullptr); }, 8},
            {"DO_GetPowerOnEnable(free, null)", [] { return KDX7400_DO_GetPowerOnEnable(kFree, nullptr); }, 2},
            {"DO_GetPowerOnEnable(open, null)", [] { return KDX7400_DO_GetPowerOnEnable(0, nullptr); }, 7},
            {"DO_SetInverse(40)", [] { return KDX7400_DO_SetInverse(kOutOfRange, 7); }, 8},
            {"DO_SetInverse(free)", [] { return KDX7400_DO_SetInverse(kFree, 7); }, 2},
            {"DO_GetInverse(40, null)", [] { return KDX7400_DO_GetInverse(kOutOfRange, nullptr); }, 8},
            {"DO_GetInverse(free, null)", [] { return KDX7400_DO_GetInverse(kFree, nullptr); }, 2},
            {"DO_GetInverse(open, null)", [] { return KDX7400_DO_GetInverse(0, nullptr); }, 7},
            {"DO_SetSafetyEnable(40)", [] { return KDX7400_DO_SetSafetyEnable(kOutOfRange, 1, 1); }, 8},
            {"DO_SetSafetyEnable(free)", [] { return KDX7400_DO_SetSafetyEnable(kFree, 1, 1); }, 2},
            {"DO_SetSafetyEnableChannel(40, ch 64)",
             [] { return KDX7400_DO_SetSafetyEnableChannel(kOutOfRange, 64, 0, 0); }, 7},
            {"DO_SetSafetyEnableChannel(40, first 2)",
             [] { return KDX7400_DO_SetSafetyEnableChannel(kOutOfRange, 0, 2, 0); }, 7},
            {"DO_SetSafetyEnableChannel(40, second 2)",
             [] { return KDX7400_DO_SetSafetyEnableChannel(kOutOfRange, 0, 0, 2); }, 7},
            {"DO_SetSafetyEnableChannel(40)",
             [] { return KDX7400_DO_SetSafetyEnableChannel(kOutOfRange, 0, 1, 1); }, 8},
            {"DO_SetSafetyEnableChannel(free)",
             [] { return KDX7400_DO_SetSafetyEnableChannel(kFree, 0, 1, 1); }, 2},
            {"DO_GetSafetyEnable(40, null, b)",
             [this] { return KDX7400_DO_GetSafetyEnable(kOutOfRange, nullptr, &other); }, 7},
            {"DO_GetSafetyEnable(40, a, null)",
             [this] { return KDX7400_DO_GetSafetyEnable(kOutOfRange, &mask, nullptr); }, 7},
            {"DO_GetSafetyEnable(40)",
             [this] { return KDX7400_DO_GetSafetyEnable(kOutOfRange, &mask, &other); }, 8},
            {"DO_GetSafetyEnable(free)",
             [this] { return KDX7400_DO_GetSafetyEnable(kFree, &mask, &other); }, 2},
            {"DI_ReadValue(40, null)", [] { return KDX7400_DI_ReadValue(kOutOfRange, nullptr); }, 7},
            {"DI_ReadValue(40)", [this] { return KDX7400_DI_ReadValue(kOutOfRange, &mask); }, 8},
            {"DI_ReadValue(free)", [this] { return KDX7400_DI_ReadValue(kFree, &mask); }, 2},
            {"DI_ReadChannel(40, null)", [] { return KDX7400_DI_ReadChannel(kOutOfRange, 0, nullptr); }, 7},
            {"DI_ReadChannel(40)", [this] { return KDX7400_DI_ReadChannel(kOutOfRange, 0, &byte); }, 8},
            {"DI_ReadChannel(free, ch 99)", [this] { return KDX7400_DI_ReadChannel(kFree, 99, &byte); }, 2},
            {"DI_ReadChannel(open, ch 16)", [this] { return KDX7400_DI_ReadChannel(0, 16, &byte); }, 7},
            {"DI_SetFilter(40)", [] { return KDX7400_DI_SetFilter(kOutOfRange, 1); }, 8},
            {"DI_SetFilter(free)", [] { return KDX7400_DI_SetFilter(kFree, 1); }, 2},
            {"DI_GetFilter(40, null)", [] { return KDX7400_DI_GetFilter(kOutOfRange, nullptr); }, 8},
            {"DI_GetFilter(free, null)", [] { return KDX7400_DI_GetFilter(kFree, nullptr); }, 2},
            {"DI_GetFilter(open, null)", [] { return KDX7400_DI_GetFilter(0, nullptr); }, 7},
            {"DI_SetInverse(32, 2)", [] { return KDX7400_DI_SetInverse(32, 2); }, 8},
            {"DI_SetInverse(free, 2)", [] { return KDX7400_DI_SetInverse(kFree, 2); }, 7},
            {"DI_SetInverse(free, 1)", [] { return KDX7400_DI_SetInverse(kFree, 1); }, 2},
            {"DI_SetInverse(open, 2)", [] { return KDX7400_DI_SetInverse(0, 2); }, 7},
            {"DI_SetCntEdgeTrigger(-1, 2)", [] { return KDX7400_DI_SetCntEdgeTrigger(-1, 2); }, 8},
            {"DI_SetCntEdgeTrigger(free, 2)", [] { return KDX7400_DI_SetCntEdgeTrigger(kFree, 2); }, 7},
            {"DI_SetCntEdgeTrigger(free, 0)", [] { return KDX7400_DI_SetCntEdgeTrigger(kFree, 0); }, 2},
            {"DI_SetCntEdgeTrigger(open, 9)", [] { return KDX7400_DI_SetCntEdgeTrigger(0, 9); }, 7},
            {"DI_GetInverse(40, null)", [] { return KDX7400_DI_GetInverse(kOutOfRange, nullptr); }, 8},
            {"DI_GetInverse(free, null)", [] { return KDX7400_DI_GetInverse(kFree, nullptr); }, 2},
            {"DI_GetInverse(open, null)", [] { return KDX7400_DI_GetInverse(0, nullptr); }, 7},
            {"DI_GetCntEdgeTrigger(40, null)", [] { return KDX7400_DI_GetCntEdgeTrigger(kOutOfRange, nullptr); }, 8},
            {"DI_GetCntEdgeTrigger(free, null)", [] { return KDX7400_DI_GetCntEdgeTrigger(kFree, nullptr); }, 2},
            {"DI_GetCntEdgeTrigger(open, null)", [] { return KDX7400_DI_GetCntEdgeTrigger(0, nullptr); }, 7},
            {"DI_ReadCounterValue(40, null)", [] { return KDX7400_DI_ReadCounterValue(kOutOfRange, nullptr, 16); }, 7},
            {"DI_ReadCounterValue(40)", [this] { return KDX7400_DI_ReadCounterValue(kOutOfRange, counters, 16); }, 8},
            {"DI_ReadCounterValue(free)", [this] { return KDX7400_DI_ReadCounterValue(kFree, counters, 16); }, 2},
            {"DI_ReadCounterValue(open, count 8)", [this] { return KDX7400_DI_ReadCounterValue(0, counters, 8); }, 7},
            {"DI_ReadCounterValue(open, count 32)", [this] { return KDX7400_DI_ReadCounterValue(0, counters, 32); }, 7},
            {"DI_ReadChannelCounter(32)", [this] { return KDX7400_DI_ReadChannelCounter(32, 0, &counter); }, 8},
            {"DI_ReadChannelCounter(free)", [this] { return KDX7400_DI_ReadChannelCounter(kFree, 0, &counter); }, 2},
            {"DI_ReadChannelCounter(open, ch 16)", [this] { return KDX7400_DI_ReadChannelCounter(0, 16, &counter); }, 7},
            {"DI_ReadChannelCounter(open, null)", [] { return KDX7400_DI_ReadChannelCounter(0, 0, nullptr); }, 7},
            {"DI_ClearCounter(40)", [] { return KDX7400_DI_ClearCounter(kOutOfRange, 1); }, 8},
            {"DI_ClearCounter(free)", [] { return KDX7400_DI_ClearCounter(kFree, 1); }, 2},
            {"DI_ClearCounterChannel(40)", [] { return KDX7400_DI_ClearCounterChannel(kOutOfRange, 0); }, 8},
            {"DI_ClearCounterChannel(free, ch 99)", [] { return KDX7400_DI_ClearCounterChannel(kFree, 99); }, 2},
            {"DI_ClearCounterChannel(open, ch 16)", [] { return KDX7400_DI_ClearCounterChannel(0, 16); }, 7},
            {"DI_ClearSingleCounter(40)", [] { return KDX7400_DI_ClearSingleCounter(kOutOfRange, 0); }, 8},
            {"DI_ClearSingleCounter(free)", [] { return KDX7400_DI_ClearSingleCounter(kFree, 0); }, 2},
            {"DI_ClearSingleCounter(open, ch 64)", [] { return KDX7400_DI_ClearSingleCounter(0, 64); }, 7},
        };
    }
};

TEST_F(ArgumentOrder, EachOperationRejectsInItsOwnOrderWithoutATransfer) {
    for (const OrderCase &c : cases()) {
        EXPECT_EQ(c.run(), c.result) << c.call;
        EXPECT_TRUE(transfers().empty()) << c.call << " sent something";
        bed.clear_commands();
    }
    EXPECT_EQ(mask, 0xEEEEu);
    EXPECT_EQ(other, 0xDDDDu);
    EXPECT_EQ(byte, 0xEE);
    EXPECT_EQ(word, 0xEEEE);
    EXPECT_EQ(counter, 0xEEEEu);
    EXPECT_EQ(counters[0], 0u);
}

} // namespace
