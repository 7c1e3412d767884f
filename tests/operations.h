// SPDX-License-Identifier: MIT
// Every exported operation that talks to a module, with the commands it
// sends: the fault matrix, the command counts and the benchmarks share it.
#pragma once

#include "kdx7400.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <vector>

namespace kdxops {

// What an operation writes through its out-parameters, preset to a
// pattern that a failed call must leave as it is.
struct Outs {
    uint64_t a = 0xA5A5A5A5A5A5A5A5ull, b = 0x5A5A5A5A5A5A5A5Aull;
    uint32_t u32 = 0xA5A5A5A5u;
    uint32_t counters[64];
    uint16_t u16 = 0xA5A5;
    uint8_t u8 = 0xA5;
    char text[40];
    kdx7400_input_state sampled;
    kdx7400_input_events events;
    kdx7400_module_info info;
    Outs() {
        std::memset(&info, 0xA5, sizeof info);
        std::memset(&sampled, 0xA5, sizeof sampled);
        sampled.sampled = 0; // a first sample
        std::memset(&events, 0xA5, sizeof events);
        std::fill(std::begin(counters), std::end(counters), 0xA5A5A5A5u);
        std::memset(text, 0xA5, sizeof text);
    }
    bool operator==(const Outs &o) const {
        return a == o.a && b == o.b && u32 == o.u32 && u16 == o.u16 && u8 == o.u8 &&
               std::equal(std::begin(counters), std::end(counters), std::begin(o.counters)) &&
               std::memcmp(text, o.text, sizeof text) == 0 &&
               std::memcmp(&sampled, &o.sampled, sizeof sampled) == 0 &&
               std::memcmp(&events, &o.events, sizeof events) == 0 && std::memcmp(&info, &o.info, sizeof info) == 0;
    }
};

struct Operation {
    const char *name;
    // The commands it sends, in order: R a read whose magic is checked,
    // A a read taken as it comes, W a write.
    const char *commands;
    std::function<int16_t(int32_t, Outs &)> call;
};

inline std::vector<Operation> operations() {
    return {
        {"DO_WriteValue", "W", [](int32_t m, Outs &) { return KDX7400_DO_WriteValue(m, 0x0F0F); }},
        {"DO_WriteChannel", "RW", [](int32_t m, Outs &) { return KDX7400_DO_WriteChannel(m, 3, 1); }},
        {"DO_WriteMaskedValue", "RW",
         [](int32_t m, Outs &) { return KDX7400_DO_WriteMaskedValue(m, 0x0FF0, 0x0550); }},
        {"DO_UpdateValue", "RW",
         [](int32_t m, Outs &o) { return KDX7400_DO_UpdateValue(m, 0x0FF0, 0x0550, &o.a); }},
        {"DO_ToggleValue", "RW", [](int32_t m, Outs &o) { return KDX7400_DO_ToggleValue(m, 0x00FF, &o.a); }},
        {"DO_ReadValue", "R", [](int32_t m, Outs &o) { return KDX7400_DO_ReadValue(m, &o.a); }},
        {"DO_SetPowerOnEnable", "W", [](int32_t m, Outs &) { return KDX7400_DO_SetPowerOnEnable(m, 0xF0); }},
        {"DO_SetPowerOnEnableToChannel", "RW",
         [](int32_t m, Outs &) { return KDX7400_DO_SetPowerOnEnableToChannel(m, 2, 1); }},
        {"DO_GetPowerOnEnable", "R", [](int32_t m, Outs &o) { return KDX7400_DO_GetPowerOnEnable(m, &o.a); }},
        {"DO_SetInverse", "W", [](int32_t m, Outs &) { return KDX7400_DO_SetInverse(m, 1); }},
        {"DO_GetInverse", "A", [](int32_t m, Outs &o) { return KDX7400_DO_GetInverse(m, &o.u8); }},
        {"DO_SetSafetyEnable", "W", [](int32_t m, Outs &) { return KDX7400_DO_SetSafetyEnable(m, 3, 1); }},
        {"DO_SetSafetyEnableChannel", "RW",
         [](int32_t m, Outs &) { return KDX7400_DO_SetSafetyEnableChannel(m, 5, 1, 1); }},
        {"DO_GetSafetyEnable", "R",
         [](int32_t m, Outs &o) { return KDX7400_DO_GetSafetyEnable(m, &o.a, &o.b); }},
        {"DI_Sample", "RR", [](int32_t m, Outs &o) { return KDX7400_DI_Sample(m, &o.sampled, &o.events); }},
        {"DI_SampleClears", "RR",
         [](int32_t m, Outs &o) { return KDX7400_DI_SampleClears(m, &o.sampled, &o.events, &o.a); }},
        {"DI_ReadValue", "R", [](int32_t m, Outs &o) { return KDX7400_DI_ReadValue(m, &o.a); }},
        {"DI_ReadChannel", "R", [](int32_t m, Outs &o) { return KDX7400_DI_ReadChannel(m, 1, &o.u8); }},
        {"DI_SetFilter", "W", [](int32_t m, Outs &) { return KDX7400_DI_SetFilter(m, 77); }},
        {"DI_GetFilter", "R", [](int32_t m, Outs &o) { return KDX7400_DI_GetFilter(m, &o.u16); }},
        {"DI_SetInverse", "W", [](int32_t m, Outs &) { return KDX7400_DI_SetInverse(m, 1); }},
        {"DI_GetInverse", "R", [](int32_t m, Outs &o) { return KDX7400_DI_GetInverse(m, &o.u8); }},
        {"DI_SetCntEdgeTrigger", "W", [](int32_t m, Outs &) { return KDX7400_DI_SetCntEdgeTrigger(m, 1); }},
        {"DI_GetCntEdgeTrigger", "R", [](int32_t m, Outs &o) { return KDX7400_DI_GetCntEdgeTrigger(m, &o.u8); }},
        {"DI_ReadCounterValue", "R",
         [](int32_t m, Outs &o) {
             uint8_t inputs = 0;
             KDX7400_GetDITotal(m, &inputs);
             return KDX7400_DI_ReadCounterValue(m, o.counters, inputs);
         }},
        {"DI_ReadChannelCounter", "R",
         [](int32_t m, Outs &o) { return KDX7400_DI_ReadChannelCounter(m, 2, &o.u32); }},
        {"DI_ClearCounter", "W", [](int32_t m, Outs &) { return KDX7400_DI_ClearCounter(m, 0xFFFF); }},
        {"DI_ClearCounterChannel", "W", [](int32_t m, Outs &) { return KDX7400_DI_ClearCounterChannel(m, 2); }},
        {"DI_ClearSingleCounter", "W", [](int32_t m, Outs &) { return KDX7400_DI_ClearSingleCounter(m, 2); }},
        {"GetFwVer", "R", [](int32_t m, Outs &o) { return KDX7400_GetFwVer(m, &o.u16); }},
        {"ReadModuleInfo", "R", [](int32_t m, Outs &o) { return KDX7400_ReadModuleInfo(m, &o.info); }},
        {"GetFwDate", "A", [](int32_t m, Outs &o) { return KDX7400_GetFwDate(m, o.text); }},
        {"SetDeviceNickName", "W", [](int32_t m, Outs &) { return KDX7400_SetDeviceNickName(m, "bench"); }},
        {"GetDeviceNickName", "A", [](int32_t m, Outs &o) { return KDX7400_GetDeviceNickName(m, o.text); }},
        {"SetWriteProtect", "W", [](int32_t m, Outs &) { return KDX7400_SetWriteProtect(m, 1); }},
        {"GetWriteProtect", "A", [](int32_t m, Outs &o) { return KDX7400_GetWriteProtect(m, &o.u8); }},
        {"SetFrameRateFactor", "W", [](int32_t m, Outs &) { return KDX7400_SetFrameRateFactor(m, 9); }},
        {"GetFrameRateFactor", "A", [](int32_t m, Outs &o) { return KDX7400_GetFrameRateFactor(m, &o.u8); }},
        {"LoadDefault", "W", [](int32_t m, Outs &) { return KDX7400_LoadDefault(m); }},
        {"SYNCDevice", "W", [](int32_t m, Outs &) { return KDX7400_SYNCDevice(m); }},
        {"ForceReset", "W", [](int32_t m, Outs &) { return KDX7400_ForceReset(m); }},
        {"setopcode", "W", [](int32_t m, Outs &) { return setopcode(m, 0x42); }},
        {"getopcode", "R", [](int32_t m, Outs &o) { return getopcode(m, &o.u8); }},
        {"SetSoftWDTTimeout", "W", [](int32_t m, Outs &) { return KDX7400_SetSoftWDTTimeout(m, 5000); }},
        {"GetSoftWDTTimeout", "R", [](int32_t m, Outs &o) { return KDX7400_GetSoftWDTTimeout(m, &o.u32); }},
        {"ClearWDTErrLED", "RWW", [](int32_t m, Outs &) { return KDX7400_ClearWDTErrLED(m); }},
        {"DisableSoftWDT", "W", [](int32_t m, Outs &) { return KDX7400_DisableSoftWDT(m); }},
    };
}

} // namespace kdxops
