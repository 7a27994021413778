/* libmodbus's own Modbus TCP client, the yardstick of bench/modbus_tcp.py:
 *
 *     modbus_c_client PORT SECONDS
 *
 * reads 16 holding registers from unit 1 at 127.0.0.1:PORT back to back for
 * SECONDS and prints "TRANSACTIONS PER_SECOND CPU_US_EACH" (the client's own
 * user and system time per transaction). */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static double cpu_seconds(void) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s PORT SECONDS\n", argv[0]);
        return 2;
    }
    double seconds = atof(argv[2]);
    modbus_t *context = modbus_new_tcp("127.0.0.1", atoi(argv[1]));
    if (context == NULL || modbus_connect(context) < 0) {
        fprintf(stderr, "modbus_c_client: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(context, 1);
    uint16_t registers[16];
    if (modbus_read_registers(context, 0, 16, registers) != 16) {  /* warm up */
        fprintf(stderr, "modbus_c_client: %s\n", modbus_strerror(errno));
        return 1;
    }
    long done = 0;
    double cpu_started = cpu_seconds(), started = now(), elapsed;
    do {
        if (modbus_read_registers(context, 0, 16, registers) != 16) {
            fprintf(stderr, "modbus_c_client: %s\n", modbus_strerror(errno));
            return 1;
        }
        done++;
    } while ((elapsed = now() - started) < seconds);
    printf("%ld %.1f %.2f\n", done, done / elapsed, 1e6 * (cpu_seconds() - cpu_started) / done);
    modbus_close(context);
    modbus_free(context);
    return 0;
}
