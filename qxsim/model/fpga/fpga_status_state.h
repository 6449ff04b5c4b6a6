#pragma once

#include <cstdint>

namespace qxsim {

struct FpgaStatusState {
    uint32_t status;         // FPGA_STATUS (0x4)
    uint32_t ignored_writes; // the register is read-only for software
};

}  // namespace qxsim
