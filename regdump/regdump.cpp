// regdump: print a run of 8-bit registers of one I2C device, read through
// one of the FPGA's three I2C masters, as a hexadecimal table.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

#include "hwaccess/fpga_io.h"
#include "hwaccess/i2c.h"

namespace {

const int CELLS_PER_ROW = 16;

// Run settings, from the command line.
int reg_count = 16;
uint8_t dev_addr = 0;
uint8_t first_reg = 0;
bool one_byte = true;
bool force = false;
bool use_isb = false;
bool use_iob = false;
bool verbose = false;

// Kept from one register to the next: a read stores only as many bytes as
// the device answers with.
uint8_t read_buf[4];

const char short_options[] = "2c:d:fior:v";

const struct option long_options[] = {
    {"two", no_argument, nullptr, '2'},
    {"count", required_argument, nullptr, 'c'},
    {"dev", required_argument, nullptr, 'd'},
    {"force", no_argument, nullptr, 'f'},
    {"isb", no_argument, nullptr, 'i'},
    {"iob", no_argument, nullptr, 'o'},
    {"reg", required_argument, nullptr, 'r'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, '?'},
    {nullptr, 0, nullptr, 0},
};

void usage()
{
    fputs("usage: regdump [options]\n"
          "  -2\t--two\t\tRead two bytes (default: 1 byte)\n"
          "  -c\t--count\t\tNumber of registers to read (default: 16).\n"
          "  -d\t--dev\t\tDevice to read\n"
          "  -f\t--force\t\tIgnore error bit.\n"
          "  -i\t--isb\t\tRead from the ISB (default: main board)\n"
          "  -o\t--iob\t\tRead from the IOB (default: main board)\n"
          "  -r\t--reg\t\tRegister to read\n"
          "  -v       --verbose       Make a lot of racket\n"
          "  -?       --help          Print usage message and exit\n",
          stderr);
}

// Usual prefix rules; text that is no number reads as 0. Registers,
// devices and the count are all 8 bits wide.
uint8_t parse_byte(const char* text)
{
    return uint8_t(strtoul(text, nullptr, 0));
}

bool parse_options(int argc, char** argv)
{
    int opt;
    while ((opt = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (opt) {
        case '2':
            one_byte = false;
            break;
        case 'c':
            reg_count = parse_byte(optarg);
            break;
        case 'd':
            dev_addr = parse_byte(optarg);
            break;
        case 'f':
            force = true;
            break;
        case 'i':
            use_isb = true;
            break;
        case 'o':
            use_iob = true;
            break;
        case 'r':
            first_reg = parse_byte(optarg);
            break;
        case 'v':
            verbose = true;
            break;
        default:
            return false;
        }
    }
    return true;
}

uint32_t master_base()
{
    if (use_isb)
        return I2C_ISB_BASE;
    if (use_iob)
        return I2C_IOB_BASE;
    return I2C_MAIN_BASE;
}

char bus_letter()
{
    if (use_isb)
        return 'I';
    if (use_iob)
        return 'O';
    return 'M';
}

void show_settings()
{
    printf("bus = %c\n", bus_letter());
    printf("dev_addr = 0x%02X\n", dev_addr);
    printf("reg_addr = 0x%02X\n", first_reg);
}

// Reads the registers in ascending order, wrapping past 0xFF, and prints
// each as soon as it is read. The row labels count on past 0xFF (100, 110,
// ...) so that rows stay distinct. A failed read ends the dump; the rows
// printed so far stay.
bool dump_registers()
{
    for (int i = 0; i < reg_count; i++) {
        uint8_t reg = uint8_t(first_reg + i);
        if (!i2c_read(reg, read_buf)) {
            fprintf(stderr, "Unable to read address 0x%02X\n", reg);
            return false;
        }
        if (i % CELLS_PER_ROW == 0)
            printf("%02X: ", first_reg + i);
        if (one_byte)
            printf("%02X ", read_buf[0]);
        else
            printf("%02X%02x ", read_buf[0], read_buf[1]);
        if (i % CELLS_PER_ROW == CELLS_PER_ROW - 1)
            putchar('\n');
    }
    putchar('\n');
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!parse_options(argc, argv)) {
        usage();
        return 1;
    }
    if (verbose)
        show_settings();

    if (!fpga_io_init())
        return 1;
    i2c_setup(I2C_TOOL_REGDUMP, verbose, force, master_base(), dev_addr);

    bool ok = dump_registers();
    fpga_io_close();
    return ok ? 0 : 1;
}
