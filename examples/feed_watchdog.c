/* SPDX-License-Identifier: MIT */
/* Sets a 500 ms watchdog, feeds it by reading the outputs, and clears a
 * watchdog error left from an earlier run. */
#include "common.h"

int main(int argc, char **argv) {
    const int32_t module = open_from_arguments(argc, argv);
    uint32_t timeout = 0;
    uint64_t outputs = 0;
    check(KDX7400_ClearWDTErrLED(module), "clear watchdog error");
    check(KDX7400_SetSoftWDTTimeout(module, 500), "set watchdog");
    check(KDX7400_GetSoftWDTTimeout(module, &timeout), "read watchdog");
    printf("watchdog timeout %u\n", (unsigned)timeout);
    for (int i = 0; i < 3; ++i) {
        /* Any exchange with the module counts as feeding the watchdog. */
        check(KDX7400_DO_ReadValue(module, &outputs), "feed watchdog");
    }
    printf("fed 3 times\n");
    check(KDX7400_CloseDevice(module), "close");
    return 0;
}
