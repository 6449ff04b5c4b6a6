// The FPGA's configuration from flash: at power-on and when the
// reconfiguration register is written, the FPGA loads the application
// image named by a valid offset record, else the factory image.
#pragma once

#include "qxsim/model/flash/boot_state.h"
#include "qxsim/model/flash/epcq_flash.h"

#include <ostream>

namespace qxsim {

constexpr uint32_t FACTORY_IMAGE_BASE = 0x0000000;
constexpr uint32_t APP_REGION_BASE = 0x2000000;
constexpr uint32_t APP_REGION_END = 0x7FF0000;  // the offset sector follows
constexpr uint32_t OFFSET_RECORD_ADDR = 0x7FFFFF0;
constexpr uint32_t OFFSET_RECORD_CONSTANT = 0x00000040;

// What the configuration logic loads for the offset record's 12 bytes as
// the array holds them: the application image a valid record names (its
// region ending at the offset sector), else the factory image.
struct BootChoice {
    uint8_t image;  // BOOT_FACTORY or BOOT_APPLICATION
    uint32_t base;
    uint32_t end;
    uint32_t record[3];
    bool record_valid;
};

class FpgaBoot {
public:
    FpgaBoot(BootState& state, const EpcqFlash& flash) : state_(state), flash_(flash) {}

    // Load a configuration image; `cause` is BOOT_BY_POWER_ON or BOOT_BY_RECONFIG.
    void configure(uint8_t cause);
    void reset();

    const BootState& state() const { return state_; }
    void describe(std::ostream& out) const;

    // The record is valid when word 1 is the constant, word 2 the complement
    // of word 0, and word 0 an address inside the application region.
    static bool record_valid(const uint32_t record[3]);
    // The decision configure() takes, for any record bytes (the power-cut
    // sweep asks it of every cut state).
    static BootChoice choose(const uint8_t raw[12]);

private:
    BootState& state_;
    const EpcqFlash& flash_;
};

const char* boot_image_name(uint8_t image);

}  // namespace qxsim
