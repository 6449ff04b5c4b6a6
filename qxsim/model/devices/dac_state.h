// Shared state of the two eight-output sensor-bias DAC chips (U12, U14).
// Plain data: lives in the camera's state file.
#pragma once

#include "qxsim/model/fault_table.h"

#include <cstdint>

namespace qxsim {

constexpr unsigned DAC_CHIP_OUTPUTS = 8;

struct DacOutputState {
    uint16_t input;    // input register, 10-bit code
    uint16_t code;     // DAC register: the code the output drives
    uint8_t powered;   // 0: output powered down (high impedance)
    uint8_t reserved[3];
};

struct DacChipState {
    DacOutputState outputs[DAC_CHIP_OUTPUTS];
    uint8_t ref_internal;  // internal reference selected
    uint8_t ref_powered;   // internal reference running
    uint8_t reserved[2];
    uint32_t writes;       // acknowledged write transactions
    uint32_t ignored;      // acknowledged, but reserved command or output index
    FaultSlots faults;
};

struct DacState {
    DacChipState u12;
    DacChipState u14;
};

}  // namespace qxsim
