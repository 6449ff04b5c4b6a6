// A generic I2C device with 256 registers of 8, 16 or 32 bits (sensors,
// port expanders, board controllers). A write stores the 16-bit data word,
// truncated to the register width. A device slot that is not in use
// acknowledges nothing.
#pragma once

#include "qxsim/model/devices/i2c_device.h"
#include "qxsim/model/devices/i2c_devices_state.h"
#include "qxsim/model/devices/nak_fault.h"

#include <string>

namespace qxsim {

class RegisterDevice : public I2cDevice {
public:
    explicit RegisterDevice(RegisterDeviceState& s) : s_(s) { add_faults(nak_faults, s_.faults, "    "); }

    const char* name() const override { return s_.label; }
    bool answers(uint8_t addr) const override { return s_.used && s_.addr == addr; }
    bool read(uint8_t addr, uint8_t reg, uint32_t* data, unsigned* width) override;
    bool write(uint8_t addr, uint8_t reg, uint16_t data) override;
    // Unused state stay unused; a device in use gets its registers back.
    void reset() override;
    void power_on() override;
    void describe(std::ostream& out) const override;

    bool used() const { return s_.used != 0; }
    // Puts a device at `addr` with registers `width` bytes wide, filled with
    // a pattern whose first (most significant) byte is the register number.
    void install(uint8_t addr, unsigned width, const char* label);
    void remove() { s_ = RegisterDeviceState{}; }
    uint32_t mask() const;
    void set_register(uint8_t reg, uint32_t value) { s_.reg[reg] = value & mask(); }
    uint32_t reg(uint8_t reg) const { return s_.reg[reg]; }
    unsigned width() const { return s_.width; }
    uint8_t addr() const { return static_cast<uint8_t>(s_.addr); }

private:
    std::string fault_owner() const override { return std::string("device ") + s_.label; }
    // The power-on pattern of every register (see install).
    void fill_registers();

    RegisterDeviceState& s_;
};

}  // namespace qxsim
