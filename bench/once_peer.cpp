// The peer of kelvane-log --once in once_bench: a program of libmodbus and
// the C library alone that does the same pass, as a user would write it:
// open the serial port, read each bank with function 3, print the
// registers, exit; 0 when every bank was read.
//
// Usage: once_peer DEVICE BAUD ADDRESS FIRST:COUNT [FIRST:COUNT ...]

#include <modbus/modbus.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: once_peer DEVICE BAUD ADDRESS FIRST:COUNT...\n");
        return 2;
    }
    modbus_t* ctx = modbus_new_rtu(argv[1], std::atoi(argv[2]), 'N', 8, 1);
    if (ctx == nullptr || modbus_set_slave(ctx, std::atoi(argv[3])) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "once_peer: %s: %s\n", argv[1], modbus_strerror(errno));
        return 1;
    }
    int status = 0;
    for (int i = 4; i < argc; ++i) {
        const int first = std::atoi(argv[i]);
        const char* colon = std::strchr(argv[i], ':');
        const int count = colon ? std::atoi(colon + 1) : 1;
        uint16_t registers[MODBUS_MAX_READ_REGISTERS];
        if (modbus_read_registers(ctx, first, count, registers) != count) {
            std::fprintf(stderr, "once_peer: registers %d to %d: %s\n", first, first + count - 1, modbus_strerror(errno));
            status = 1;
            continue;
        }
        for (int r = 0; r < count; ++r)
            std::printf("%d\t%u\n", first + r, registers[r]);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return status;
}
