// A device on one of the camera's I2C buses, as the FPGA's I2C master sees
// it: an addressed slave with 8-bit register addresses. Like blocks, devices
// keep their persistent state in the shared state file and are called with
// the camera lock held.
#pragma once

#include "qxsim/model/fault_table.h"

#include <cstdint>
#include <ostream>

namespace qxsim {

// Its faults are reached through FaultHost, named after the device's
// master and address ("i2c-isb.0x50.nak").
class I2cDevice : public FaultHost {
public:
    // True when the device acknowledges slave address `addr` (a device may
    // answer several, e.g. a DAC's own address and the global one).
    virtual bool answers(uint8_t addr) const = 0;

    // Read transaction of register `reg`. On acknowledge, store the data
    // right-aligned in *data and its width in bytes (1, 2 or 4) in *width and
    // return true; return false for no acknowledge.
    virtual bool read(uint8_t addr, uint8_t reg, uint32_t* data, unsigned* width) = 0;

    // Write transaction: register (or command byte) `reg`, 16-bit data word.
    // Return false for no acknowledge.
    virtual bool write(uint8_t addr, uint8_t reg, uint16_t data) = 0;

    // As the device leaves the factory (faults and counters cleared).
    virtual void reset() = 0;
    // Power switched off and on again: volatile registers back to their
    // power-on values; non-volatile memory, faults and counters stay.
    virtual void power_on() = 0;
    virtual void describe(std::ostream& out) const = 0;
};

}  // namespace qxsim
