// Image selection by the fitted image sensor, and the restart of the FPGA
// from its configuration flash.
#pragma once

#include <cstdint>

// Identification device on the sensor board (ISB I2C bus) and the registers
// holding the four ID characters, register 4 first (bits 7..0 of the ID).
static const uint8_t SENSOR_ID_DEVICE = 0x50;
static const uint8_t SENSOR_ID_FIRST_REG = 4;
static const uint8_t SENSOR_ID_REGS = 4;

// Read the sensor ID and put its image into `path` (IMAGE_PATH_SIZE bytes);
// the path stays as it was when the ID is unreadable or unknown.
void sensor_image_select(char* path);

bool fpga_reconfigure();
