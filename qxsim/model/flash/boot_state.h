// What the FPGA loaded at its last configuration from flash.
#pragma once

#include <cstdint>

namespace qxsim {

enum : uint8_t { BOOT_NONE = 0, BOOT_FACTORY = 1, BOOT_APPLICATION = 2 };
enum : uint8_t { BOOT_BY_POWER_ON = 1, BOOT_BY_RECONFIG = 2 };
// What the booted region holds, judged from the made-up image container
// (see release_images.h); any other content is "unrecognised".
enum : uint8_t {
    BOOT_CONTENT_EMPTY = 0,
    BOOT_CONTENT_INTACT = 1,
    BOOT_CONTENT_DAMAGED = 2,
    BOOT_CONTENT_UNRECOGNISED = 3,
};

struct BootState {
    uint32_t boots;
    uint8_t image;  // BOOT_NONE before the first boot
    uint8_t cause;
    uint8_t content;
    uint8_t record_valid;
    uint32_t record[3];  // offset record words as found at boot
    uint32_t base;       // first byte of the booted image
    uint32_t length;     // up to the last non-0xFF byte of its region
    uint32_t checksum;   // CRC-32 of those bytes
    uint32_t factory_boots;
    uint32_t application_boots;
    char name[32];  // image name from the container header, if any
};

}  // namespace qxsim
