// Shared state of the EPCQ-L configuration flash (the array itself lives in
// flash.bin, see flash_store.h).
#pragma once

#include <cstdint>

namespace qxsim {

enum : uint8_t { EPCQ_TIMING_INSTANT = 0, EPCQ_TIMING_DATASHEET = 1 };

// A fault that cuts the power in the middle of the Nth operation of its
// kind: only the first `bytes` bytes of the page or sector are done.
struct EpcqTornFault {
    uint32_t armed;
    uint32_t nth;
    uint32_t bytes;
    uint32_t seen;
    uint32_t fired;
};

struct EpcqAddrFault {
    uint32_t armed;
    uint32_t addr;
    uint32_t fired;
};

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

    EpcqAddrFault erase_error;  // addr: any byte of the failing sector
    EpcqAddrFault write_error;  // a program whose page holds addr fails
    EpcqTornFault torn_program;
    EpcqTornFault torn_erase;
};

}  // namespace qxsim
