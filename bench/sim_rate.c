/* SPDX-License-Identifier: MIT */
/* DO_ReadValue calls per second against one module, for the simulator's
 * throughput: sim_rate [CALLS] under kdx7400-sim. */
#include <kdx7400.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char **argv) {
    const long calls = argc > 1 ? strtol(argv[1], NULL, 10) : 20000;
    const int32_t module = KDX7400_OpenDevice(0x7401, 0);
    if (module < 0) {
        fprintf(stderr, "sim_rate: no module (%d)\n", module);
        return 1;
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < calls; ++i) {
        uint64_t outputs = 0;
        if (KDX7400_DO_ReadValue(module, &outputs) != RESULT_OK) {
            fprintf(stderr, "sim_rate: call %ld failed\n", i);
            return 1;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%.0f\n", (double)calls / seconds);
    KDX7400_CloseDevice(module);
    return 0;
}
