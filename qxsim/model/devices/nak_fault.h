// The fault of the simple register devices (identification memory,
// generic register devices): "nak [REG]", acknowledge nothing, or nothing
// for one register.
#pragma once

#include "qxsim/model/fault_table.h"

#include <cstdint>

namespace qxsim {

inline constexpr FaultEntry nak_fault_entries[] = {
    {"nak", "[REG]", "acknowledge nothing (or not register REG)", "nak takes an optional register number 0..255"},
};
inline constexpr FaultTable nak_faults(nak_fault_entries);

// True when the fault refuses a transaction of register `reg`; counts it.
inline bool nak_fires(FaultSlots& faults, uint8_t reg)
{
    FaultSlot& f = faults.slot[nak_faults.first(0)];
    if (!f.armed || ((f.given & 1) && f.arg[0] != reg))
        return false;
    f.fired++;
    return true;
}

}  // namespace qxsim
