// An octal 10-bit I2C DAC as fitted for the sensor biases (U12, U14).
//
// Write-only part. The command byte carries the command in bits 7..4 and the
// output index in bits 3..0 (0..7, 0xF all); the data word carries the code
// left-aligned (bits 15..6). Every output has an input register and a DAC
// register; the output drives the DAC register's code while powered. The
// commands are DAC_COMMANDS below; reserved ones are acknowledged and
// ignored.
//
// Updates power the outputs they touch up again, and the internal reference
// with them when it is selected. A read transaction is not acknowledged.
// Power-on: all codes 0, every output powered down (high impedance), external
// reference; the first update of an output powers it up.
#pragma once

#include "qxsim/model/devices/dac_state.h"
#include "qxsim/model/fault_table.h"
#include "qxsim/model/devices/i2c_device.h"

#include <string>

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

// What a command does, by the command nibble.
enum : uint8_t {
    DAC_ON_OUTPUT = 0x01,     // acts on output n, or on all of them for index 0xF
    DAC_LOAD = 0x02,          // the input register takes the code
    DAC_UPDATE = 0x04,        // the output drives its input register's code, powered
    DAC_UPDATE_ALL = 0x08,    // then every output does
    DAC_OUTPUT_DOWN = 0x10,   // the output powers down
    DAC_CHIP_DOWN = 0x20,     // every output and the reference power down
    DAC_REF_INTERNAL = 0x40,  // the internal reference is selected and runs
    DAC_REF_EXTERNAL = 0x80,  // the external reference is selected
};
struct DacCommand {
    const char* meaning;  // as the decoded trace names it
    uint8_t does;         // 0: reserved (or no operation)
};
extern const DacCommand DAC_COMMANDS[16];
constexpr uint8_t DAC_NOP = 0xF;

// What a write of `data` with command byte `cmd` to DAC address `dev` (a
// chip's own or the global one) does: "U12 VREF: load input, code 300".
std::string dac_write_meaning(uint8_t dev, uint8_t cmd, uint16_t data);

class DacChip : public I2cDevice {
public:
    DacChip(const DacChipWiring& wiring, DacChipState& state);

    const char* name() const override { return wiring_.name; }
    bool answers(uint8_t addr) const override;
    bool read(uint8_t addr, uint8_t reg, uint32_t* data, unsigned* width) override;
    bool write(uint8_t addr, uint8_t reg, uint16_t data) override;
    void reset() override;
    // Inputs, outputs and reference back to the power-on state above.
    void power_on() override;
    void describe(std::ostream& out) const override;


private:
    bool nak_fires();
    void update(unsigned n);
    void command(uint8_t cmd, unsigned index, uint16_t code);

    const DacChipWiring& wiring_;
    DacChipState& state_;
};

}  // namespace qxsim
