// FPGA registers by name: every register a block describes in its table,
// named as the hardware's constant (ASMI_STATUS, CHL_MASK_BL); the three I2C
// masters' registers carry their bus in front (MAIN_I2C_CONTROL,
// ISB_I2C_STATUS, IOB_I2C_RD_DATA). A register nobody modelled has no name
// and is shown by address.
#pragma once

#include "qxsim/model/fpga/register_table.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qxsim {

// The name of FPGA register `reg`, or nullptr when no block models it.
const char* register_name(uint32_t reg);

// A register name (any case) or a number as parse_u32 takes it.
bool parse_register(const std::string& text, uint32_t* reg);

struct BlockPlace;

struct NamedRegister {
    uint32_t reg;
    std::string name;
    const RegisterInfo* info;  // the block table's entry
    const BlockPlace* place;   // the block's
};

// Every named register, by address.
const std::vector<NamedRegister>& named_registers();
// The named register at `reg`, or null.
const NamedRegister* find_register(uint32_t reg);

}  // namespace qxsim
