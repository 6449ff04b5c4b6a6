#include "dacmap/dacmap.h"

#include <cstring>

const dac_reg dac_reg_table[DAC_REG_COUNT] = {
    {DAC_U12_ADDR, DAC_CMD_WRITE_UPDATE | 0, "VREF"},
    {DAC_U12_ADDR, DAC_CMD_WRITE_UPDATE | 1, "VLNC"},
    {DAC_U12_ADDR, DAC_CMD_WRITE_UPDATE | 2, "VLN"},
    {DAC_U12_ADDR, DAC_CMD_WRITE_UPDATE | 3, "VADH"},
    {DAC_U12_ADDR, DAC_CMD_WRITE_UPDATE | 4, "VOFF"},
    {DAC_U12_ADDR, DAC_CMD_WRITE_UPDATE | 5, "VAD4"},
    {DAC_U12_ADDR, DAC_CMD_WRITE_UPDATE | 6, "VLNA"},
    {DAC_U12_ADDR, DAC_CMD_WRITE_UPDATE | 7, "VCAS"},
    {DAC_U14_ADDR, DAC_CMD_WRITE_UPDATE | 0, "VMUX1"},
    {DAC_U14_ADDR, DAC_CMD_WRITE_UPDATE | 1, "VTX2L"},
    {DAC_U14_ADDR, DAC_CMD_WRITE_UPDATE | 2, "VABL"},
    {DAC_U14_ADDR, DAC_CMD_WRITE_UPDATE | 3, "VPIX"},
    {DAC_U14_ADDR, DAC_CMD_WRITE_UPDATE | 4, "VRSTH"},
    {DAC_U14_ADDR, DAC_CMD_WRITE_UPDATE | 5, "VTXH"},
    {DAC_U14_ADDR, DAC_CMD_WRITE_UPDATE | 6, "VTXL"},
    {DAC_U14_ADDR, DAC_CMD_WRITE_UPDATE | 7, "VMUX2"},
};

// Each chip gets its internal reference first, then all eight input
// registers; nothing reaches the outputs until the global update at the
// end moves all sixteen together.
const dac_cmd dac_powerup_table[DAC_POWERUP_COUNT] = {
    {DAC_U12_ADDR, DAC_CMD_INTERNAL_REF, 0x0000},
    {DAC_U12_ADDR, DAC_CMD_WRITE_INPUT | 0, 0x012C},  // VREF
    {DAC_U12_ADDR, DAC_CMD_WRITE_INPUT | 1, 0x00E1},  // VLNC
    {DAC_U12_ADDR, DAC_CMD_WRITE_INPUT | 2, 0x0096},  // VLN
    {DAC_U12_ADDR, DAC_CMD_WRITE_INPUT | 3, 0x00E1},  // VADH
    {DAC_U12_ADDR, DAC_CMD_WRITE_INPUT | 4, 0x007D},  // VOFF
    {DAC_U12_ADDR, DAC_CMD_WRITE_INPUT | 5, 0x0038},  // VAD4
    {DAC_U12_ADDR, DAC_CMD_WRITE_INPUT | 6, 0x00ED},  // VLNA
    {DAC_U12_ADDR, DAC_CMD_WRITE_INPUT | 7, 0x015E},  // VCAS
    {DAC_U14_ADDR, DAC_CMD_INTERNAL_REF, 0x0000},
    {DAC_U14_ADDR, DAC_CMD_WRITE_INPUT | 0, 0x00E1},  // VMUX1
    {DAC_U14_ADDR, DAC_CMD_WRITE_INPUT | 1, 0x00AF},  // VTX2L
    {DAC_U14_ADDR, DAC_CMD_WRITE_INPUT | 2, 0x004B},  // VABL
    {DAC_U14_ADDR, DAC_CMD_WRITE_INPUT | 3, 0x01C2},  // VPIX
    {DAC_U14_ADDR, DAC_CMD_WRITE_INPUT | 4, 0x0338},  // VRSTH
    {DAC_U14_ADDR, DAC_CMD_WRITE_INPUT | 5, 0x0338},  // VTXH
    {DAC_U14_ADDR, DAC_CMD_WRITE_INPUT | 6, 0x0000},  // VTXL
    {DAC_U14_ADDR, DAC_CMD_WRITE_INPUT | 7, 0x00E1},  // VMUX2
    {DAC_GLOBAL_ADDR, DAC_CMD_UPDATE | DAC_OUTPUT_ALL, 0x0000},
};

// Outputs, references and all, of both chips.
const dac_cmd dac_shutdown_cmd = {DAC_GLOBAL_ADDR, DAC_CMD_POWER_DOWN_CHIP | DAC_OUTPUT_ALL, 0x0000};

// biasset's listing. Its values for VLN, VOFF and VABL are not the ones dac
// loads at power-up.
const char dac_listing_text[] =
    "DAC Registers:\n"
    "U12 chip:\n"
    "  VREF  [0x012C]\n"
    "  VLNC  [0x00E1]\n"
    "  VLN   [0x0089]\n"
    "  VADH  [0x00E1]\n"
    "  VOFF  [0x00AF]\n"
    "  VAD4  [0x0038]\n"
    "  VLNA  [0x00ED]\n"
    "  VCAS  [0x015E]\n"
    "U14 chip:\n"
    "  VMUX1 [0x00E1]\n"
    "  VTX2L [0x00AF]\n"
    "  VABL  [0x0032]\n"
    "  VPIX  [0x01C2]\n"
    "  VRSTH [0x0338]\n"
    "  VTXH  [0x0338]\n"
    "  VTXL  [0x0000]\n"
    "  VMUX2 [0x00E1]\n";

uint16_t dac_data_word(uint16_t value)
{
    return static_cast<uint16_t>(value << DAC_DATA_SHIFT);
}

const dac_reg* dac_find_reg(const char* name)
{
    for (const dac_reg& reg : dac_reg_table) {
        if (strcmp(reg.name, name) == 0)
            return &reg;
    }
    return nullptr;
}
