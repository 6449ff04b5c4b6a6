// dac: power the two sensor-bias DAC chips up from the power-up table, or
// shut them down, through the FPGA's ISB I2C master.
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

#include "dacmap/dacmap.h"
#include "hwaccess/fpga_io.h"
#include "hwaccess/i2c.h"

static const char usage_text[] =
    "usage: dac [options]\n"
    "  -d             --down      Power-down the DACs.\n"
    "  -f             --force     Force the I2C transactions.\n"
    "  -u             --up        Power-up the DACs.\n"
    "  -v             --verbose   Display debug messages.\n"
    "  -?             --help      Print usage message and exit\n";

static const struct option long_options[] = {
    {"down", no_argument, nullptr, 'd'},
    {"force", no_argument, nullptr, 'f'},
    {"up", no_argument, nullptr, 'u'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, '?'},
    {nullptr, 0, nullptr, 0},
};

static const char MAIN_FN[] = "int main(int, char**)";
static const char SHUTDOWN_FN[] = "void dac_shutdown()";
static const char POWERUP_FN[] = "void dac_powerup()";

static bool power_down = true;
static bool force = false;
static bool verbose = false;

static void parse_options(int argc, char** argv)
{
    int opt;
    while ((opt = getopt_long(argc, argv, "dfuv", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'd':
            power_down = true;
            break;
        case 'f':
            force = true;
            break;
        case 'u':
            power_down = false;
            break;
        case 'v':
            verbose = true;
            break;
        default:
            fputs(usage_text, stderr);
            exit(1);
        }
    }
}

// i2c_write only starts its transaction; the next write's idle wait would
// see a missing acknowledge. The last write of a sequence has no next write,
// so it goes out with i2c_write_checked, which waits for it to finish.
static bool dac_shutdown()
{
    const dac_cmd& cmd = dac_shutdown_cmd;
    if (!i2c_write_checked(cmd.dev_addr, cmd.reg_addr, dac_data_word(cmd.value))) {
        console_log(LOG_ERR, "%s: Unable to write shutdown command!", SHUTDOWN_FN);
        return false;
    }
    if (verbose)
        console_log(LOG_DEBUG, "%s: Shutdown complete.", SHUTDOWN_FN);
    return true;
}

// Rows go out strictly in table order. Without the force flag the first
// failure ends the sequence, so the global update that moves the outputs is
// never sent after a fault; with it the rest of the table still goes out,
// and the run counts as failed all the same.
static bool dac_send_powerup_rows()
{
    bool ok = true;
    for (size_t i = 0; i < DAC_POWERUP_COUNT; i++) {
        const dac_cmd& row = dac_powerup_table[i];
        const uint16_t data = dac_data_word(row.value);
        if (verbose)
            console_log(LOG_DEBUG, "%02X[%02X] <= 0x%04X [0x%04X << %d]", row.dev_addr, row.reg_addr, data,
                        row.value, DAC_DATA_SHIFT);
        bool written = i + 1 < DAC_POWERUP_COUNT ? i2c_write(row.dev_addr, row.reg_addr, data)
                                                 : i2c_write_checked(row.dev_addr, row.reg_addr, data);
        if (!written) {
            ok = false;
            if (!force)
                return false;
        }
    }
    return ok;
}

static bool dac_powerup()
{
    if (dac_send_powerup_rows())
        return true;
    console_log(LOG_ERR, "%s: I/O error", POWERUP_FN);
    return false;
}

int main(int argc, char** argv)
{
    parse_options(argc, argv);
    i2c_setup(I2C_TOOL_DAC, verbose, force);

    if (!fpga_io_init()) {
        console_log(LOG_ERR, "fpga_io_init() failed!");
        return 1;
    }

    bool ok;
    if (!i2c_bus_enabled()) {
        console_log(LOG_ERR, "%s: I2C bus is disabled!", MAIN_FN);
        ok = false;
    } else {
        ok = power_down ? dac_shutdown() : dac_powerup();
        i2c_release_master();
    }

    fpga_io_close();
    return ok ? 0 : 1;
}
