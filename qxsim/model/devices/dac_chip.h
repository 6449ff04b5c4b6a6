// An octal 10-bit I2C DAC as fitted for the sensor biases (U12, U14).
//
// Write-only part. The command byte carries the command in bits 7..4 and the
// output index in bits 3..0 (0..7, 0xF all); the data word carries the code
// left-aligned (bits 15..6). Every output has an input register and a DAC
// register; the output drives the DAC register's code while powered.
//
//   0x0 load input n              0x4 power down output n
//   0x1 update n from input       0x5 power down chip (outputs, reference)
//   0x2 load input n, update all  0x6 select internal reference
//   0x3 load and update n         0x7 select external reference
//   0xF no operation              others reserved: acknowledged, ignored
//
// Updates power the outputs they touch up again, and the internal reference
// with them when it is selected. A read transaction is not acknowledged.
// Power-on: all codes 0, every output powered down (high impedance), external
// reference; the first update of an output powers it up.
#pragma once

#include "qxsim/model/devices/dac_state.h"
#include "qxsim/model/fault_table.h"
#include "qxsim/model/devices/i2c_device.h"

namespace qxsim {

// How one chip sits on the board: its name, address and output nets.
struct DacChipWiring {
    const char* name;         // "dac-u12"
    const char* part;         // "U12"
    uint8_t addr;
    const char* outputs[DAC_CHIP_OUTPUTS];
};

extern const DacChipWiring DAC_U12_WIRING;
extern const DacChipWiring DAC_U14_WIRING;
constexpr uint8_t DAC_GLOBAL_ADDRESS = 0x73;

class DacChip : public I2cDevice {
public:
    DacChip(const DacChipWiring& wiring, DacChipState& state) : wiring_(wiring), state_(state) {}

    const char* name() const override { return wiring_.name; }
    bool answers(uint8_t addr) const override;
    bool read(uint8_t addr, uint8_t reg, uint32_t* data, unsigned* width) override;
    bool write(uint8_t addr, uint8_t reg, uint16_t data) override;
    void reset() override;
    // Inputs, outputs and reference back to the power-on state above.
    void power_on() override;
    void describe(std::ostream& out) const override;

    bool set_fault(const std::string& fault, const std::vector<std::string>& args,
                   std::string* error) override;
    void clear_faults() override;
    bool clear_fault(const std::string& fault, std::string* error) override;
    void list_faults(std::ostream& out) const override;

private:
    bool nak_fires();
    void update(unsigned n);
    void command(uint8_t cmd, unsigned index, uint16_t code);

    const DacChipWiring& wiring_;
    DacChipState& state_;
};

}  // namespace qxsim
