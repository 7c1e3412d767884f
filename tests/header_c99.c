/* SPDX-License-Identifier: MIT */
/* Built with -std=c99 -pedantic -Werror: the public header is plain C. */
#include "kdx7400.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    module_slot slot = {-1, 0, 0, 0, 0, 0, 0, 0};
    uint8_t block[17] = {0};
    add_IDENTIFY_HEADER(block);
    if (getU32Val(block) != IDENTIFY_HEADER_MAGIC || slot.fd != -1) {
        return 1;
    }
    if (strcmp(KDXIO_GetLibraryVersion(), "1.0.0") != 0) {
        return 1;
    }
    if (KDX7400_CloseDevice(MAX_DEVICES) != RESULT_BAD_INDEX) {
        return 1;
    }
    if (OPEN_NOT_FOUND != -1 || OPEN_TABLE_FULL != -2 || OPEN_BAD_BOARD_ID != -3) {
        return 1;
    }
    puts("C99 client linked and ran");
    return 0;
}
