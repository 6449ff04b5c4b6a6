// Shared state of the EPCQ-L configuration flash (the array itself lives in
// flash.bin, see flash_store.h).
#pragma once

#include "qxsim/model/fault_table.h"

#include <cstdint>

namespace qxsim {

enum : uint8_t { EPCQ_TIMING_INSTANT = 0, EPCQ_TIMING_DATASHEET = 1 };

struct EpcqState {
    uint8_t device_id;      // answer to READ ID
    uint8_t status_reg;     // non-volatile BP3 (bit 6), TB (bit 5), BP2..BP0 (bits 4..2)
    uint8_t four_byte;      // address mode, volatile (cleared at power-on)
    uint8_t timing;         // EPCQ_TIMING_*
    uint32_t erase_us;      // datasheet timing: 64 KiB sector erase
    uint32_t program_us;    // datasheet timing: 256-byte page program
    uint32_t status_us;     // datasheet timing: status register write
    int64_t busy_until_ns;  // CLOCK_MONOTONIC end of the operation in progress

    uint64_t erases;
    uint64_t programs;
    uint64_t refused_erases;     // protected or failed
    uint64_t refused_programs;   // protected or failed
    uint64_t unerased_programs;  // programs that tried to set a 0 bit

    FaultSlots faults;
};

}  // namespace qxsim
