/* SPDX-License-Identifier: MIT */
/* Switches output channel 0 on and off a few times, then reads it back. */
#include "common.h"

int main(int argc, char **argv) {
    const int32_t module = open_from_arguments(argc, argv);
    uint64_t outputs = 0;
    for (int i = 0; i < 4; ++i) {
        check(KDX7400_DO_WriteChannel(module, 0, (uint8_t)(i % 2 == 0)), "write channel 0");
        check(KDX7400_DO_ReadValue(module, &outputs), "read outputs");
        printf("outputs 0x%04llx\n", (unsigned long long)outputs);
    }
    check(KDX7400_CloseDevice(module), "close");
    return 0;
}
