#include "update/sensor.h"

#include <cstdio>

#include "hwaccess/fpga_io.h"
#include "hwaccess/i2c.h"
#include "update/asmi_regs.h"
#include "update/settings.h"

#define FIRMWARE_DIR "/usr/local/bin/orvane/firmware/"

struct sensor_image {
    uint32_t id;  // registers 7..4 as ASCII, register 4 lowest
    const char* sensor;
    const char* path;
};

// Each sensor answers with C or M in register 4; both take the same image.
static const sensor_image sensor_images[] = {
    {0x58334843, "LUX13HS", FIRMWARE_DIR "qx_lux13hs.rbf"},
    {0x5833484D, "LUX13HS", FIRMWARE_DIR "qx_lux13hs.rbf"},
    {0x58394843, "LUX19HS", FIRMWARE_DIR "qx_lux19hs.rbf"},
    {0x5839484D, "LUX19HS", FIRMWARE_DIR "qx_lux19hs.rbf"},
    {0x414C3543, "LINCE5M", FIRMWARE_DIR "qx_lince5m.rbf"},
    {0x414C354D, "LINCE5M", FIRMWARE_DIR "qx_lince5m.rbf"},
};

// Firmware image for a sensor ID, or null for an ID nobody knows.
static const char* sensor_image_path(uint32_t sensor_id)
{
    for (const sensor_image& image : sensor_images)
        if (image.id == sensor_id)
            return image.path;
    return nullptr;
}

void sensor_image_select(char* path)
{
    uint8_t id_bytes[SENSOR_ID_REGS] = {0, 0, 0, 0};

    for (uint8_t i = 0; i < SENSOR_ID_REGS; ++i) {
        uint8_t reg = SENSOR_ID_FIRST_REG + i;
        if (!i2c_read(SENSOR_ID_DEVICE, reg, &id_bytes[i], 0)) {
            fprintf(stderr, "Unable to read address 0x%02X\n", reg);
            return;
        }
    }
    uint32_t sensor_id = uint32_t(id_bytes[0]) | uint32_t(id_bytes[1]) << 8 |
                         uint32_t(id_bytes[2]) << 16 | uint32_t(id_bytes[3]) << 24;

    const char* image = sensor_image_path(sensor_id);
    if (image != nullptr)
        snprintf(path, IMAGE_PATH_SIZE, "%s", image);
    else if (update_verbose)
        console_log(LOG_DEBUG, "Unknown sensor ID read [0x%08x]", sensor_id);
    if (update_verbose)
        console_log(LOG_INFO, "Update from [%s]", path);
}

bool fpga_reconfigure()
{
    if (update_verbose)
        console_log(LOG_INFO, "Reconfigure starting");
    bool started = fpga_write_reg(ASMI_RECONFIG, ASMI_RECONFIG_START);
    if (update_verbose) {
        console_log(LOG_INFO, started ? "Reconfiguration in progress" : "Failed.");
        console_log(LOG_INFO, "Done");
    }
    return started;
}
