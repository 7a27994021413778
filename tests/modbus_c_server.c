/* A Modbus TCP server built on libmodbus, for the tcp:// tests and benchmarks:
 *
 *     modbus_c_server PORT
 *
 * listens on 127.0.0.1:PORT (0: any free port), prints "listening PORT" once
 * it does, and serves every unit from one mapping of 65536 coils, discrete
 * inputs, holding and input registers until killed. Holding register i starts
 * as (i * 7 + 1) & 0xFFFF, input register i as i, discrete input i on when i is
 * a multiple of 3, so a read shows it came from here. Several clients at once. */
#include <errno.h>
#include <modbus.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

enum { SIZE = 65536 };

static modbus_mapping_t *make_mapping(void) {
    modbus_mapping_t *mapping = modbus_mapping_new(SIZE, SIZE, SIZE, SIZE);
    if (mapping == NULL)
        return NULL;
    for (int i = 0; i < SIZE; i++) {
        mapping->tab_registers[i] = (uint16_t)(i * 7 + 1);
        mapping->tab_input_registers[i] = (uint16_t)i;
        mapping->tab_input_bits[i] = i % 3 == 0;
    }
    return mapping;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    modbus_t *context = modbus_new_tcp("127.0.0.1", atoi(argv[1]));
    modbus_mapping_t *mapping = make_mapping();
    if (context == NULL || mapping == NULL) {
        fprintf(stderr, "modbus_c_server: %s\n", modbus_strerror(errno));
        return 1;
    }
    int listener = modbus_tcp_listen(context, 64);
    if (listener < 0) {
        fprintf(stderr, "modbus_c_server: listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    struct sockaddr_in bound;
    socklen_t size = sizeof bound;
    getsockname(listener, (struct sockaddr *)&bound, &size);
    printf("listening %d\n", ntohs(bound.sin_port));
    fflush(stdout);

    fd_set clients;
    FD_ZERO(&clients);
    FD_SET(listener, &clients);
    int highest = listener;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        fd_set ready = clients;
        if (select(highest + 1, &ready, NULL, NULL, NULL) < 0) {
            if (errno == EINTR)
                continue;
            perror("modbus_c_server: select");
            return 1;
        }
        for (int fd = 0; fd <= highest; fd++) {
            if (!FD_ISSET(fd, &ready))
                continue;
            if (fd == listener) {
                int client = accept(listener, NULL, NULL);
                if (client >= 0 && client < FD_SETSIZE) {
                    FD_SET(client, &clients);
                    if (client > highest)
                        highest = client;
                } else if (client >= 0) {
                    close(client);
                }
                continue;
            }
            modbus_set_socket(context, fd);
            int length = modbus_receive(context, query);
            if (length > 0) {
                modbus_reply(context, query, length, mapping);
            } else if (length < 0) {  /* the client went, or sent no frame */
                close(fd);
                FD_CLR(fd, &clients);
            }
        }
    }
}
