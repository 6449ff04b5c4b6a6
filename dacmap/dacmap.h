// The two sensor-bias DAC chips as the tools see them: bus addresses,
// command bytes, the data word, the output names, the power-up sequence and
// the shutdown command. Shared by dac and biasset.
#pragma once

#include <cstddef>
#include <cstdint>

// I2C slave addresses. Both chips also accept writes to the global address.
constexpr uint8_t DAC_U12_ADDR = 0x10;     // VREF .. VCAS
constexpr uint8_t DAC_U14_ADDR = 0x11;     // VMUX1 .. VMUX2
constexpr uint8_t DAC_GLOBAL_ADDR = 0x73;

// Command byte, sent as the I2C register address: command in bits 7..4,
// output index in bits 3..0 (0 to 7 one output, 0xF all eight).
constexpr uint8_t DAC_CMD_WRITE_INPUT = 0x00;   // load input register only
constexpr uint8_t DAC_CMD_UPDATE = 0x10;        // input -> output, power up
constexpr uint8_t DAC_CMD_WRITE_UPDATE = 0x30;  // load and update one output
constexpr uint8_t DAC_CMD_POWER_DOWN_CHIP = 0x50;
constexpr uint8_t DAC_CMD_INTERNAL_REF = 0x60;
constexpr uint8_t DAC_OUTPUT_ALL = 0x0F;

// Output codes are 10 bits, carried left-aligned in the 16-bit data word.
constexpr uint16_t DAC_VALUE_MAX = 0x3FF;
constexpr int DAC_DATA_SHIFT = 6;

// One named output: its chip and the command byte biasset writes to it.
struct dac_reg {
    uint8_t dev_addr;
    uint8_t reg_addr;
    const char* name;
};

// One write of a fixed sequence; the value is turned into the data word
// with dac_data_word when it is sent.
struct dac_cmd {
    uint8_t dev_addr;
    uint8_t reg_addr;
    uint16_t value;
};

constexpr size_t DAC_REG_COUNT = 16;
constexpr size_t DAC_POWERUP_COUNT = 19;

extern const dac_reg dac_reg_table[DAC_REG_COUNT];
extern const dac_cmd dac_powerup_table[DAC_POWERUP_COUNT];
extern const dac_cmd dac_shutdown_cmd;
extern const char dac_listing_text[];

// (value << 6) & 0xFFFF: bits 10..15 of the value fall off the top.
uint16_t dac_data_word(uint16_t value);

// Exact, case-sensitive lookup of an upper-case output name; null if none.
const dac_reg* dac_find_reg(const char* name);
