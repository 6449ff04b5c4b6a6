// A block of FPGA logic behind the register device: it decodes a range of
// FPGA register offsets and answers reads and writes to them.
//
// Blocks are process-local views: every piece of state that must survive the
// process (or be seen by another process using the same camera) lives in a
// plain-data struct inside the camera's shared state file, and the block only
// holds a reference to it. All calls are made with the camera lock held.
#pragma once

#include "qxsim/model/fault_table.h"

#include <cstdint>
#include <ostream>

namespace qxsim {

class RegisterLayout;

// Its name ("i2c-isb", "asmi", ...) is the front end's for it; its faults
// are reached through FaultHost.
class RegisterBlock : public FaultHost {
public:

    // True when the block owns FPGA register offset `reg`.
    virtual bool decodes(uint32_t reg) const = 0;

    // Register access. A block never fails an access on its own; access
    // faults (EIO, power cut) are applied by the camera before dispatch.
    virtual uint32_t read(uint32_t reg) = 0;
    virtual void write(uint32_t reg, uint32_t value) = 0;

    // The registers the block describes in its table (register_table.h),
    // at offsets from base(); null for a block without a table. Names are
    // the table's, with register_prefix() in front (the I2C master's bus).
    virtual const RegisterLayout* registers() const { return nullptr; }
    virtual uint32_t base() const { return 0; }
    virtual const char* register_prefix() const { return ""; }
    // The value of the table's register `index` as a read would return it,
    // for `show`; false when reading it is computed or has side effects.
    virtual bool stored_value(unsigned index, uint32_t* value) const
    {
        (void)index; (void)value;
        return false;
    }

    // The block as a new camera leaves the factory: every field of its
    // shared state, faults and counters included (creation, factory-reset).
    virtual void reset() = 0;

    // Power switched off and on again: what the hardware loses (registers,
    // FIFOs, a transaction in flight) goes back to its power-on value; what
    // survives (non-volatile memory, the board's wiring) stays, and so do
    // the bench's faults and the block's counters.
    virtual void power_on() = 0;

    // The FPGA loaded again (the reconfiguration register): the block's
    // logic back to its power-on values, as power_on() puts it; what lies
    // outside the FPGA (bus devices, the flash chip) keeps its state, and
    // so do the bench's faults and the block's counters.
    virtual void reload() = 0;

    // Human-readable state for `qxsim show`: a few lines, each indented by
    // two spaces, under a heading line naming the block.
    virtual void describe(std::ostream& out) const = 0;
};

}  // namespace qxsim
