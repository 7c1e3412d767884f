/* SPDX-License-Identifier: MIT */
/* Prints every input edge, and the pulses the module counted between two
 * samples, until COUNT events (default: for ever). When the module goes,
 * it says so, opens it again once it is back and watches on. */
#include "common.h"

#include <time.h>

static void pause_ms(long ms) {
    const struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

int main(int argc, char **argv) {
    const long wanted = example_count(argc, argv);
    if (wanted < 0) {
        fprintf(stderr, "%s: COUNT is a number of events, not '%s'\n", argv[0], argv[3]);
        return 2;
    }
    long seen = 0;
    int started = 0;
    int32_t module = open_from_arguments(argc, argv);
    kdx7400_input_state state = {0}; /* zeroed: the first sample starts the watch */
    uint8_t edge = 0, inverse = 0;
    check(KDX7400_DI_GetCntEdgeTrigger(module, &edge), "counter edge");
    check(KDX7400_DI_GetInverse(module, &inverse), "input inversion");
    state.edge = (uint8_t)((edge ^ inverse) & 1u);
    while (wanted == 0 || seen < wanted) {
        kdx7400_input_events events;
        if (KDX7400_DI_Sample(module, &state, &events) != RESULT_OK) {
            printf("module gone\n");
            fflush(stdout);
            KDX7400_CloseDevice(module);
            do { /* until it is plugged in again */
                pause_ms(100);
                uint16_t pid = 0;
                uint8_t bid = 0;
                ids_from_arguments(argv, &pid, &bid);
                module = KDX7400_OpenDevice(pid, bid);
            } while (module < 0);
            state.sampled = 0;
            started = 0;
            printf("module back\n");
            fflush(stdout);
            continue;
        }
        if (!started) {
            printf("watching inputs 0x%04llx\n", (unsigned long long)events.levels);
            started = 1;
        }
        for (unsigned n = 0; n < state.channels; ++n) {
            const uint64_t bit = (uint64_t)1 << n;
            if (events.unseen & bit) {
                printf("in %u: %u pulses\n", n, (unsigned)events.pulses[n]);
                ++seen;
            }
            if (events.changed & bit) {
                printf("in %u %s\n", n, (events.levels & bit) ? "rising" : "falling");
                ++seen;
            }
        }
        fflush(stdout);
        pause_ms(10);
    }
    check(KDX7400_CloseDevice(module), "close");
    return 0;
}
