/* SPDX-License-Identifier: MIT */
/* Prints every input channel's state. */
#include "common.h"

int main(int argc, char **argv) {
    const int32_t module = open_from_arguments(argc, argv);
    uint8_t inputs = 0;
    check(KDX7400_GetDITotal(module, &inputs), "input count");
    for (uint8_t channel = 0; channel < inputs && channel < 64; ++channel) {
        uint8_t state = 0;
        check(KDX7400_DI_ReadChannel(module, channel, &state), "read input");
        printf("DI%u=%u\n", (unsigned)channel, (unsigned)state);
    }
    check(KDX7400_CloseDevice(module), "close");
    return 0;
}
