/* SPDX-License-Identifier: MIT */
/* The floors kdx7400d's Modbus front end is measured against, one thread
 * in one select loop each (as libmodbus's own multi-client example server):
 *   modbus_floor PORT           a bare libmodbus server answering from
 *                               memory: what any gateway's framing costs
 *   modbus_floor PORT PID BID   a gateway for these modules: modbus_receive,
 *                               the library's calls for the request on the
 *                               module (under the simulator's preload), then
 *                               modbus_reply from what the module said */
#include "kdx7400.h"

#include <modbus/modbus.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <unistd.h>

static uint16_t word_at(const uint8_t *p) { return (uint16_t)(p[0] << 8 | p[1]); }

/* Reads what a read request names into the mapping, or applies a write:
 * the commands a gateway must make, no more. */
static int serve(int32_t module, const uint8_t *query, int header, modbus_mapping_t *map) {
    const uint8_t function = query[header];
    const uint16_t address = word_at(query + header + 1);
    const uint16_t count = word_at(query + header + 3);
    uint64_t mask = 0;
    switch (function) {
    case 1:
        if (KDX7400_DO_ReadValue(module, &mask) != RESULT_OK) return -1;
        for (unsigned i = 0; i < 64; ++i) map->tab_bits[i] = (mask >> i) & 1u;
        return 0;
    case 2:
        if (KDX7400_DI_ReadValue(module, &mask) != RESULT_OK) return -1;
        for (unsigned i = 0; i < 64; ++i) map->tab_input_bits[i] = (mask >> i) & 1u;
        return 0;
    case 3: {
        uint16_t filter = 0;
        uint8_t in_inverse = 0, edge = 0, out_inverse = 0, protect = 0, factor = 0;
        uint32_t timeout = 0;
        if (KDX7400_DI_GetFilter(module, &filter) || KDX7400_DI_GetInverse(module, &in_inverse) ||
            KDX7400_DI_GetCntEdgeTrigger(module, &edge) || KDX7400_DO_GetInverse(module, &out_inverse) ||
            KDX7400_GetSoftWDTTimeout(module, &timeout) || KDX7400_GetWriteProtect(module, &protect) ||
            KDX7400_GetFrameRateFactor(module, &factor)) {
            return -1;
        }
        const uint16_t values[8] = {filter, in_inverse, edge, out_inverse, (uint16_t)(timeout >> 16),
                                    (uint16_t)timeout, protect, factor};
        for (unsigned i = 0; i < 8; ++i) map->tab_registers[i] = values[i];
        return 0;
    }
    case 4: {
        uint32_t counters[64] = {0};
        uint8_t di = 0;
        if (KDX7400_GetDITotal(module, &di) || KDX7400_DI_ReadCounterValue(module, counters, di)) return -1;
        for (unsigned i = 0; i < 64; ++i) {
            map->tab_input_registers[2 * i] = (uint16_t)(counters[i] >> 16);
            map->tab_input_registers[2 * i + 1] = (uint16_t)counters[i];
        }
        return 0;
    }
    case 5:
        return KDX7400_DO_WriteChannel(module, (uint8_t)address, word_at(query + header + 3) != 0) == RESULT_OK ? 0 : -1;
    case 15:
        for (unsigned i = 0; i < count; ++i) {
            if ((query[header + 6 + i / 8] >> (i % 8)) & 1u) mask |= (uint64_t)1 << (address + i);
        }
        return KDX7400_DO_WriteMaskedValue(module, (((uint64_t)1 << count) - 1) << address, mask) == RESULT_OK ? 0
                                                                                                          : -1;
    case 16:
        for (unsigned i = 0; i < count; ++i) {
            const uint16_t value = word_at(query + header + 6 + 2 * i);
            int16_t result = RESULT_OK;
            switch (address + i) {
            case 0: result = KDX7400_DI_SetFilter(module, value); break;
            case 1: result = KDX7400_DI_SetInverse(module, (uint8_t)value); break;
            default: break;
            }
            if (result != RESULT_OK) return -1;
        }
        return 0;
    default: return 0;
    }
}

int main(int argc, char **argv) {
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: modbus_floor PORT [PID BID]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const int32_t module = argc == 4 ? KDX7400_OpenDevice((uint16_t)strtoul(argv[2], NULL, 16), (uint8_t)atoi(argv[3]))
                                     : -1;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", atoi(argv[1]));
    modbus_mapping_t *map = modbus_mapping_new(2001, 64, 116, 1016);
    const int listener = (argc == 2 || module >= 0) && ctx != NULL && map != NULL ? modbus_tcp_listen(ctx, 64) : -1;
    if (listener < 0) {
        fprintf(stderr, "modbus_floor: cannot start (module %d): %s\n", module, modbus_strerror(errno));
        return 1;
    }
    const int header = modbus_get_header_length(ctx);
    fd_set all;
    FD_ZERO(&all);
    FD_SET(listener, &all);
    int top = listener;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        fd_set ready = all;
        if (select(top + 1, &ready, NULL, NULL, NULL) < 0) {
            continue;
        }
        for (int fd = 0; fd <= top; ++fd) {
            if (!FD_ISSET(fd, &ready)) {
                continue;
            }
            if (fd == listener) {
                int s = listener;
                const int client = modbus_tcp_accept(ctx, &s);
                if (client >= 0 && client < FD_SETSIZE) {
                    FD_SET(client, &all);
                    top = client > top ? client : top;
                } else if (client >= 0) {
                    close(client);
                }
                continue;
            }
            modbus_set_socket(ctx, fd);
            const int length = modbus_receive(ctx, query);
            if (length > 0) {
                if (module < 0 || serve(module, query, header, map) == 0) {
                    modbus_reply(ctx, query, length, map);
                } else {
                    modbus_reply_exception(ctx, query, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
                }
            } else if (length < 0) {
                close(fd);
                FD_CLR(fd, &all);
            }
        }
    }
}
