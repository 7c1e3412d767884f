/* SPDX-License-Identifier: MIT */
/* The least a program can do for "kdxio -p 0x7401 -b 0 do get": the
 * baseline kdxio's start-up is measured against. */
#include <kdx7400.h>
#include <stdio.h>

int main(void) {
    const int32_t module = KDX7400_OpenDevice(0x7401, 0);
    uint64_t outputs = 0;
    if (module < 0 || KDX7400_DO_ReadValue(module, &outputs) != RESULT_OK) {
        return 1;
    }
    printf("0x%04llx\n", (unsigned long long)outputs);
    KDX7400_CloseDevice(module);
    return 0;
}
