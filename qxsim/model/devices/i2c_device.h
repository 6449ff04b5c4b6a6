// A device on one of the camera's I2C buses, as the FPGA's I2C master sees
// it: an addressed slave with 8-bit register addresses. Like blocks, devices
// keep their persistent state in the shared state file and are called with
// the camera lock held.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace qxsim {

class I2cDevice {
public:
    virtual ~I2cDevice() = default;

    virtual const char* name() const = 0;

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

    virtual bool set_fault(const std::string& fault, const std::vector<std::string>& args,
                           std::string* error) {
        (void)fault; (void)args;
        *error = "unknown fault";
        return false;
    }
    virtual void clear_faults() {}
    virtual bool clear_fault(const std::string& fault, std::string* error) {
        *error = "unknown fault '" + fault + "' of " + name();
        return false;
    }
    virtual void list_faults(std::ostream& out) const { (void)out; }
};

}  // namespace qxsim
