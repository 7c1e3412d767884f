/* SPDX-License-Identifier: MIT */
/* The floor of any libmodbus gateway: a bare libmodbus TCP server that
 * answers from memory, one mapping made at start, modbus_receive then
 * modbus_reply, every client in one select loop (as libmodbus's own
 * multi-client example server does).
 * Usage: modbus_floor PORT */
#include <modbus/modbus.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: modbus_floor PORT\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", atoi(argv[1]));
    modbus_mapping_t *map = modbus_mapping_new(2001, 64, 116, 1016);
    const int listener = ctx != NULL && map != NULL ? modbus_tcp_listen(ctx, 64) : -1;
    if (listener < 0) {
        fprintf(stderr, "modbus_floor: %s\n", modbus_strerror(errno));
        return 1;
    }
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
                modbus_reply(ctx, query, length, map);
            } else if (length < 0) {
                close(fd);
                FD_CLR(fd, &all);
            }
        }
    }
}
