// The image sensor board's identification memory, I2C device 0x50 on the
// ISB bus: 256 8-bit registers, write-protected. Registers 4 to 7 hold the
// sensor code (register 4 in bits 7..0 of the code), 0x10 onwards a board
// text.
#pragma once

#include "qxsim/model/devices/i2c_device.h"
#include "qxsim/model/devices/i2c_devices_state.h"
#include "qxsim/model/devices/nak_fault.h"

#include <string>

namespace qxsim {

constexpr uint8_t IDENT_ADDR = 0x50;
constexpr uint8_t IDENT_CODE_REG = 4;
constexpr uint8_t IDENT_TEXT_REG = 0x10;

// Sensor codes: four ASCII characters, register 4 first.
struct SensorCode {
    const char* name;
    uint32_t code;
};
extern const SensorCode sensor_codes[6];

// What a read of `reg` answering `data` (`width` bits) means, "sensor code
// 'C'", or "" when it is nothing to name.
std::string ident_read_meaning(uint8_t reg, uint32_t data, unsigned width);

// "LUX13HS-C", "lince5m-m", "LUX19HS" (C variant), four characters as in
// registers 4..7 ("CH9X"), or a number "0x58394843".
bool parse_sensor(const std::string& text, uint32_t* code);
// "LUX19HS-C" or "unknown"
const char* sensor_name(uint32_t code);

class IdentMemory : public I2cDevice {
public:
    explicit IdentMemory(IdentMemoryState& s) : s_(s) { add_faults(nak_faults, s_.faults, "    "); }

    const char* name() const override { return "ident"; }
    bool answers(uint8_t addr) const override { return addr == IDENT_ADDR; }
    bool read(uint8_t addr, uint8_t reg, uint32_t* data, unsigned* width) override;
    bool write(uint8_t addr, uint8_t reg, uint16_t data) override;
    void reset() override;
    void power_on() override;
    void describe(std::ostream& out) const override;

    // Programs the sensor code into registers 4..7 (and keeps it for reset).
    void set_code(uint32_t code);
    uint32_t code() const;
    void set_register(uint8_t reg, uint8_t value) { s_.reg[reg] = value; }
    uint8_t reg(uint8_t reg) const { return s_.reg[reg]; }

private:
    std::string fault_owner() const override { return "the identification memory"; }

    IdentMemoryState& s_;
};

}  // namespace qxsim
