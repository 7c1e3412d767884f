/* SPDX-License-Identifier: MIT */
/* Reads every input counter, prints the non-zero ones, then clears them. */
#include "common.h"

int main(int argc, char **argv) {
    const int32_t module = open_from_arguments(argc, argv);
    uint8_t inputs = 0;
    uint32_t counters[64] = {0};
    check(KDX7400_GetDITotal(module, &inputs), "input count");
    check(KDX7400_DI_SetCntEdgeTrigger(module, 0), "count rising edges");
    check(KDX7400_DI_ReadCounterValue(module, counters, inputs), "read counters");
    for (uint8_t channel = 0; channel < inputs && channel < 64; ++channel) {
        if (counters[channel] != 0) {
            printf("counter %u: %u\n", (unsigned)channel, (unsigned)counters[channel]);
        }
    }
    check(KDX7400_DI_ClearCounter(module, ~(uint64_t)0), "clear counters");
    check(KDX7400_CloseDevice(module), "close");
    return 0;
}
