// biasset: set one named sensor-bias DAC output through the driver's proc
// file, without opening the register device.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "dacmap/dacmap.h"
#include "hwaccess/proc_regs.h"

static const char usage_text[] =
    "usage: biasset [options] <reg-name> <value>\n"
    "  -f             --force     Force the I2C transactions.\n"
    "  -l             --list      Displays the list of registers.\n"
    "  -v             --verbose   Display debug messages.\n"
    "  -?             --help      Print usage message and exit\n";

static const struct option long_options[] = {
    {"force", no_argument, nullptr, 'f'},
    {"list", no_argument, nullptr, 'l'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, '?'},
    {nullptr, 0, nullptr, 0},
};

static bool verbose = false;

// Upper-cased register name; anything longer than the longest output name
// cannot match and is refused as unknown.
static char reg_name[16];

static void print_listing()
{
    fputs(dac_listing_text, stdout);
}

[[noreturn]] static void usage()
{
    fputs(usage_text, stdout);
    print_listing();
    exit(1);
}

static void parse_options(int argc, char** argv)
{
    int opt;
    while ((opt = getopt_long(argc, argv, "flv", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'f':
            // Accepted and ignored: a blind proc write has nothing to force.
            break;
        case 'l':
            print_listing();
            exit(1);
        case 'v':
            verbose = true;
            break;
        default:
            usage();
        }
    }
}

// Look the output up by its upper-cased name.
static const dac_reg* find_output(const char* arg)
{
    const size_t len = strlen(arg);
    if (len >= sizeof reg_name)
        return nullptr;
    for (size_t i = 0; i <= len; i++)
        reg_name[i] = static_cast<char>(toupper(static_cast<unsigned char>(arg[i])));
    return dac_find_reg(reg_name);
}

// Decimal, 0x hexadecimal or leading-0 octal, the whole argument, 0 to 0x3FF.
static bool parse_value(const char* arg, uint16_t* value)
{
    const char* p = arg;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = strtoul(arg, &end, 0);
    if (*p == '-' || end == arg || *end != '\0') {
        fprintf(stderr, "Value '%s' is not a number!\n", arg);
        return false;
    }
    if (errno == ERANGE || v > DAC_VALUE_MAX) {
        fprintf(stderr, "Value '%s' is above 0x%X!\n", arg, DAC_VALUE_MAX);
        return false;
    }
    *value = static_cast<uint16_t>(v);
    return true;
}

static bool write_output(const dac_reg* reg, uint16_t value)
{
    const uint16_t data = dac_data_word(value);
    if (verbose)
        printf("%02X[%02X] <= 0x%04X [0x%04X << %d]\n", reg->dev_addr, reg->reg_addr, data, value, DAC_DATA_SHIFT);
    if (!proc_i2c_write(reg->dev_addr, reg->reg_addr, data)) {
        fprintf(stderr, "Unable to write %s through /proc/qx_pci/regs!\n", reg->name);
        return false;
    }
    return true;
}

int main(int argc, char** argv)
{
    parse_options(argc, argv);
    if (argc - optind != 2) {
        fputs("Need a register name and value to poke!\n", stderr);
        usage();
    }
    const char* name_arg = argv[optind];
    const char* value_arg = argv[optind + 1];

    const dac_reg* reg = find_output(name_arg);
    if (!reg) {
        fprintf(stderr, "Unknown register name '%s' (biasset -l lists them)!\n", name_arg);
        return 1;
    }
    uint16_t value;
    if (!parse_value(value_arg, &value))
        return 1;
    if (verbose)
        fprintf(stderr, "name='%s', value=0x%04x\n", reg_name, value);

    proc_setup(verbose);
    return write_output(reg, value) ? 0 : 1;
}
