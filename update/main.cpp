// update: rewrite the FPGA configuration flash from an image file, verify it,
// protect the flash again and restart the FPGA from it.
#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "hwaccess/fpga_io.h"
#include "hwaccess/i2c.h"
#include "hwaccess/tool_lock.h"
#include "update/asmi.h"
#include "update/asmi_regs.h"
#include "update/image.h"
#include "update/interrupt.h"
#include "update/sensor.h"
#include "update/settings.h"

static const int OPTION_HELP = 0x100;

static const struct option update_options[] = {
    {"release", no_argument, nullptr, 'r'},
    {"verbose", no_argument, nullptr, 'v'},
    {"erase", no_argument, nullptr, 'e'},
    {"help", no_argument, nullptr, OPTION_HELP},
    {nullptr, 0, nullptr, 0},
};

static void update_usage()
{
    fprintf(stderr,
            "usage: update [-r] [-v] [-e] <fpga_config_file>\n"
            " -r             --release      \t  Perform a release update\n"
            "\n"
            " -v             --verbose      \t  Enable verbose output\n"
            " -e             --erase        \t  Only erase (no programming)\n");
}

// Options and the image path. False ends the run with status 1.
static bool update_parse_options(int argc, char** argv)
{
    int option;
    while ((option = getopt_long(argc, argv, "vre", update_options, nullptr)) != -1) {
        switch (option) {
        case 'v': update_verbose = true; break;
        case 'r': update_release = true; break;
        case 'e': update_erase_only = true; break;
        default: update_usage(); return false;
        }
    }
    if (optind < argc) {
        // The path buffer must keep its terminating zero.
        size_t length = strlen(argv[optind]);
        if (length >= IMAGE_PATH_SIZE) {
            fprintf(stderr, "Image path too long (%zu characters, at most %zu)\n", length,
                    IMAGE_PATH_SIZE - 1);
            return false;
        }
        memcpy(update_image_path, argv[optind], length + 1);
    }
    return true;
}

// One update at a time: the flash controller's lock is held for the whole
// run, taken before the first register access. A second run finds it held
// and refuses at once, having touched nothing.
static bool update_lock_flash()
{
    tool_lock_result taken = tool_lock_take(TOOL_LOCK_FLASH, false);
    if (taken == TOOL_LOCK_HELD)
        fprintf(stderr, "%s: the flash controller is held by another process; nothing done.\n",
                "bool update_lock_flash()");
    return taken == TOOL_LOCK_TAKEN;
}

// A stopped run leaves the flash as far as it got: not locked, not restarted.
static int update_stop()
{
    if (update_verbose)
        console_log(LOG_INFO, "Bail...");
    return 1;
}

static int update_stop_after(const char* step_failed)
{
    console_log(LOG_DEBUG, "%s", step_failed);
    return update_stop();
}

// An empty image would leave an offset record pointing at nothing.
static bool update_image_usable(uint32_t length)
{
    if (length == 0 && !update_erase_only) {
        fprintf(stderr, "'%s' is empty\n", update_image_path);
        return false;
    }
    return true;
}

int main(int argc, char** argv)
{
    uint32_t status = 0;
    uint32_t length = 0;

    // A closed output (update | head) loses output, never the flash's state.
    signal(SIGPIPE, SIG_IGN);
    if (!update_parse_options(argc, argv) || !update_lock_flash() || !fpga_io_init())
        return 1;
    i2c_setup(I2C_TOOL_UPDATE, update_verbose, false);

    if (update_release)
        sensor_image_select(update_image_path);
    if (update_image_path[0] == '\0') {
        update_usage();
        return update_stop();
    }
    // Everything that can stop the run is checked before the unlock: the
    // chip, the image (read to its end) and the controller's FIFOs.
    if (!asmi_identify(&status))
        return update_stop();
    if (update_verbose ? !asmi_check_id(status) : !asmi_check_size(status))
        return update_stop();
    if (!image_length(update_image_path, &length) || !update_image_usable(length))
        return update_stop();
    if (!asmi_fifos_empty())
        return update_stop();

    interrupt_hold();
    if (!asmi_write_protect(PROTECT_UNLOCK))
        return update_stop_after("Unable to unlock the sectors!");
    interrupt_point();
    interrupt_phase(PHASE_ERASING);
    if (!asmi_sector_erase(OFFSET_SECTOR, 1))
        return update_stop_after("Unable to erase the offset sector!");
    if (!asmi_sector_erase(APP_IMAGE_BASE, image_sector_count(length)))
        return update_stop_after("Unable to erase the application sectors!");
    if (update_erase_only) {
        interrupt_release();
        console_log(LOG_DEBUG, "Jumping out");
    } else {
        if (!image_program(update_image_path, length) || !image_verify(update_image_path, length) ||
            !offset_record_write())
            return update_stop();
        interrupt_phase(PHASE_RECORDED);
        interrupt_point();
        if (!asmi_write_protect(PROTECT_LOCK))
            return update_stop_after("Unable to lock the sectors!");
        interrupt_release();
    }
    // The image is in flash and verified either way, but an FPGA that was
    // not restarted still runs the old configuration.
    return fpga_reconfigure() ? 0 : 1;
}
