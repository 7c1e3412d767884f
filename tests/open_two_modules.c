/* SPDX-License-Identifier: MIT */
/* Opens two modules that differ only in board ID and lists what is
 * attached; run under kdx7400-sim with boards 3 and 10. */
#include "kdx7400.h"

#include <stdio.h>

int main(void) {
    const int32_t first = KDX7400_OpenDevice(0x7401, 3);
    const int32_t second = KDX7400_OpenDevice(0x7401, 10);
    printf("indices %d %d\n", (int)first, (int)second);
    const int16_t listed = KDX7400_ListDevice();
    fflush(stdout);
    return first == 0 && second == 1 && listed == RESULT_OK ? 0 : 1;
}
