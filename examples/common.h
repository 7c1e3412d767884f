// SPDX-License-Identifier: MIT
/* Shared by the examples: open the module named on the command line. */
#ifndef KDX7400_EXAMPLE_COMMON_H
#define KDX7400_EXAMPLE_COMMON_H

#include "ids.h"
#include "kdx7400.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

/* The IDs named on the command line; a text that is none is a usage error. */
static void ids_from_arguments(char **argv, uint16_t *pid, uint8_t *bid) {
    if (!example_parse_ids(argv[1], argv[2], pid, bid)) {
        fprintf(stderr, "%s: not a module's IDs: '%s' '%s' (%s)\n", argv[0], argv[1], argv[2], EXAMPLE_IDS_RULE);
        exit(2);
    }
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
        /* Tells a node this user may not open from no module at all. */
        const int32_t why = KDX7400_WhyOpenFailed(index, errno);
        fprintf(stderr, "%s: open: %s (%d)\n", argv[0], KDXIO_GetOpenResultString(why), why);
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
