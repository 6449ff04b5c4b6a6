// Shared state of the generic bus devices: the sensor board's
// identification memory and register devices of 8, 16 or 32 bits.
#pragma once

#include "qxsim/model/fault_table.h"

#include <cstdint>

namespace qxsim {

struct IdentMemoryState {
    uint8_t reg[256];
    uint32_t code;           // sensor code, register 4 in bits 7..0
    uint32_t pad;
    FaultSlots faults;       // nak_fault.h
    uint64_t reads, writes;
};

struct RegisterDeviceState {
    uint32_t used;
    uint32_t addr;
    uint32_t width;          // bytes per register: 1, 2 or 4
    uint32_t pad;
    FaultSlots faults;       // nak_fault.h
    char label[28];
    uint32_t reg[256];
    uint64_t reads, writes;
};

constexpr unsigned REGISTER_DEVICES_PER_BUS = 8;

}  // namespace qxsim
