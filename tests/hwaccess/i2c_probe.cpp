// Test program: runs one I2C operation of the hardware access layer in the
// form of one tool, so the update and dac forms can be driven against the
// simulated camera before those tools exist.
//
//   i2c_probe TOOL [-v] [-f] OP ARGS...
//     TOOL  update | dac
//     OP    wait                      i2c_wait_idle without destination
//           read DEV REG PRELOAD      update's i2c_read into a byte holding PRELOAD
//           write DEV REG DATA        dac's i2c_write
//           bus                       i2c_bus_enabled
//
// The layer's own lines come first; the probe then prints one result line.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hwaccess/fpga_io.h"
#include "hwaccess/i2c.h"

namespace {

unsigned long number(const char* text)
{
    return strtoul(text, nullptr, 0);
}

bool tool_named(const char* name, i2c_tool* tool)
{
    static const struct {
        const char* name;
        i2c_tool tool;
    } tools[] = {
        {"update", I2C_TOOL_UPDATE},
        {"dac", I2C_TOOL_DAC},
    };
    for (const auto& t : tools) {
        if (strcmp(t.name, name) == 0) {
            *tool = t.tool;
            return true;
        }
    }
    return false;
}

int run(int argc, char** argv)
{
    if (!strcmp(argv[0], "wait")) {
        printf("wait=%d\n", i2c_wait_idle(nullptr));
        return 0;
    }
    if (!strcmp(argv[0], "read") && argc == 4) {
        uint8_t byte = uint8_t(number(argv[3]));
        bool ok = i2c_read(uint8_t(number(argv[1])), uint8_t(number(argv[2])), &byte, 0);
        printf("read=%d byte=0x%02X\n", ok, byte);
        return 0;
    }
    if (!strcmp(argv[0], "write") && argc == 4) {
        bool ok = i2c_write(uint8_t(number(argv[1])), uint8_t(number(argv[2])),
                            uint16_t(number(argv[3])));
        printf("write=%d\n", ok);
        return 0;
    }
    if (!strcmp(argv[0], "bus")) {
        printf("bus=%d\n", i2c_bus_enabled());
        return 0;
    }
    fprintf(stderr, "i2c_probe: unknown operation\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    i2c_tool tool;
    if (argc < 3 || !tool_named(argv[1], &tool)) {
        fprintf(stderr, "usage: i2c_probe update|dac [-v] [-f] OP ARGS...\n");
        return 2;
    }
    int arg = 2;
    bool verbose = false;
    bool force = false;
    for (; arg < argc && argv[arg][0] == '-'; arg++) {
        verbose |= !strcmp(argv[arg], "-v");
        force |= !strcmp(argv[arg], "-f");
    }
    if (arg >= argc) {
        fprintf(stderr, "i2c_probe: no operation\n");
        return 2;
    }

    if (!fpga_io_init())
        return 1;
    i2c_setup(tool, verbose, force);
    int status = run(argc - arg, argv + arg);
    fpga_io_close();
    return status;
}
