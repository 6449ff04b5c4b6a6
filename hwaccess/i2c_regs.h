// Register map of the FPGA's I2C masters and the FPGA status register.
//
// Each master is five consecutive 32-bit FPGA registers at its base. A
// transaction starts when a command word is written to I2C_CONTROL and ends
// when the master clears I2C_STATUS_BUSY; I2C_STATUS_ERROR then tells whether
// the device answered.
#pragma once

#include <cstdint>

// Master blocks.
constexpr uint32_t I2C_MAIN_BASE = 0x160;  // main board
constexpr uint32_t I2C_ISB_BASE = 0x180;   // image sensor board
constexpr uint32_t I2C_IOB_BASE = 0x1A0;   // I/O board

// Offsets within a block.
constexpr uint32_t I2C_CONTROL = 0x00;   // write: command word; read after a read: width flags
constexpr uint32_t I2C_STATUS = 0x04;
constexpr uint32_t I2C_REG_ADDR = 0x08;  // device register, 8 bits
constexpr uint32_t I2C_WR_DATA = 0x0C;   // data word of a write, 16 bits
constexpr uint32_t I2C_RD_DATA = 0x10;   // data of a finished read, right-aligned

// I2C_STATUS bits.
constexpr uint32_t I2C_STATUS_BUSY = 0x80000000;
constexpr uint32_t I2C_STATUS_ERROR = 0x40000000;

// Command words: the device address goes unshifted into bits 12 and up.
constexpr uint32_t I2C_CMD_READ = 0x111;
constexpr uint32_t I2C_CMD_WRITE = 0x120;
constexpr unsigned I2C_CMD_DEV_SHIFT = 12;

constexpr uint32_t i2c_read_command(uint8_t dev)
{
    return (uint32_t(dev) << I2C_CMD_DEV_SHIFT) | I2C_CMD_READ;
}

constexpr uint32_t i2c_write_command(uint8_t dev)
{
    return (uint32_t(dev) << I2C_CMD_DEV_SHIFT) | I2C_CMD_WRITE;
}

// A write's command word only starts it; the DAC needs this long before the
// next transaction, and nothing the tools read shows when the write ends.
constexpr long I2C_WRITE_PAUSE_MS = 10;

// Width flags read back from I2C_CONTROL after a read; neither means 1 byte.
// I2C_WIDTH_16 counts only while I2C_WIDTH_32 is clear.
constexpr uint32_t I2C_WIDTH_32 = 0x40;
constexpr uint32_t I2C_WIDTH_16 = 0x20;

// FPGA status register, outside the master blocks.
constexpr uint32_t FPGA_STATUS = 0x4;
constexpr uint32_t FPGA_STATUS_I2C_ENABLED = 0x10;
