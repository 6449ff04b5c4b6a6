// The "nak [REG]" fault of the simple register devices (identification
// memory, generic register devices): acknowledge nothing, or nothing for one
// register. Its state, NakFaultState, lives in the device's shared state.
#pragma once

#include "qxsim/model/fault_table.h"
#include "qxsim/model/devices/i2c_devices_state.h"

#include <cstdint>

namespace qxsim {

// The device's fault table: the one "nak" entry.
extern const FaultTable<NakFaultState> nak_faults;

// True when the fault refuses a transaction of register `reg`; counts it.
inline bool nak_fires(NakFaultState& f, uint8_t reg)
{
    if (!f.all && f.reg != reg)
        return false;
    f.fired++;
    return true;
}

}  // namespace qxsim
