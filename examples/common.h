// SPDX-License-Identifier: MIT
/* Shared by the examples: open the module named on the command line. */
#ifndef KDX7400_EXAMPLE_COMMON_H
#define KDX7400_EXAMPLE_COMMON_H

#include "kdx7400.h"

#include <stdio.h>
#include <stdlib.h>

/* The IDs as kdxio and the listing write them: the product ID in hex, with
 * or without 0x (7401), the board ID as its hex digit (A) or 0 to 15. */
static void ids_from_arguments(char **argv, uint16_t *pid, uint8_t *bid) {
    *pid = (uint16_t)strtoul(argv[1], NULL, 16);
    *bid = (uint8_t)strtoul(argv[2], NULL, argv[2][0] != '\0' && argv[2][1] == '\0' ? 16 : 0);
}

/* Usage: PROGRAM PID BID, for example: toggle_output 7401 3 */
static int32_t open_from_arguments(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s PID BID\n", argv[0]);
        exit(2);
    }
    uint16_t pid = 0;
    uint8_t bid = 0;
    ids_from_arguments(argv, &pid, &bid);
    const int32_t index = KDX7400_OpenDevice(pid, bid);
    if (index < 0) {
        fprintf(stderr, "%s: open: %s (%d)\n", argv[0], KDXIO_GetOpenResultString(index), index);
        exit(1);
    }
    return index;
}

/* Prints a failed call's result text and exits. */
static void check(int16_t result, const char *what) {
    if (result != RESULT_OK) {
        fprintf(stderr, "%s: %s (%d)\n", what, KDXIO_GetResultString(result), result);
        exit(1);
    }
}

#endif
