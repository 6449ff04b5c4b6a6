// The FPGA's registers as the hardware documents them, and where each
// register block decodes. Every register is one line of its block's list:
//
//   REG(NAME, OFFSET, ACCESS, RESET, WRITABLE, W1C, STORAGE, READ_HOOK, WRITE_HOOK)
//
// NAME is the hardware's constant, OFFSET its address (from the block's
// base), ACCESS RW, RO or WO, RESET the power-on value, WRITABLE the bits a
// write stores, W1C the bits a written 1 clears; STORAGE is STORED(field)
// of the block's state struct or NO_STORAGE, and the hooks HOOK(method) or
// nullptr (register_table.h says what each does). A list gives the
// constant NAME here, and its block's register table, the names `peek`,
// `poke`, `show` and the trace use, in the block's source. A field is one
// QXSIM_FIELD line: REG_FIELD is its mask.
//
// The simulated camera's own map: the tools carry theirs, so that the model
// catches a tool's wrong address.
#pragma once

#include "qxsim/model/fpga/register_table.h"

#include <cstdint>
#include <string>

namespace qxsim {

// clang-format off

// ---- FPGA identification and status (fpga_status.*) ----
// Both read-only for software; the bus-enable bit follows the board's I2C
// power, which only the bench switches.
#define QXSIM_FPGA_STATUS_REGISTERS(REG)                                                                               \
    REG(FPGA_ID,      0x0, RO, FPGA_ID_VALUE, 0, 0, NO_STORAGE,     nullptr, HOOK(ignored_write))                     \
    REG(FPGA_STATUS,  0x4, RO, FPGA_STATUS_CONFIGURED | FPGA_STATUS_I2C_ENABLED, 0, 0,                                \
                                                    STORED(status), nullptr, HOOK(ignored_write))
QXSIM_FPGA_STATUS_REGISTERS(QXSIM_REGISTER_OFFSET)
QXSIM_FIELD(FPGA_STATUS, CONFIGURED, 0, 1)
QXSIM_FIELD(FPGA_STATUS, I2C_ENABLED, 4, 1)
constexpr uint32_t FPGA_ID_VALUE = 0x51580201;  // "QX", design 2, revision 1

// ---- I2C masters (i2c_master.*): five registers at each master's base ----
// CONTROL takes a command word (device << 12 | operation) and reads back the
// width flags of the last read; REG_ADDR and WR_DATA read back what was
// written, 8 and 16 bits of it.
#define QXSIM_I2C_REGISTERS(REG)                                                                                       \
    REG(I2C_CONTROL,  0x00, RW, 0, 0,      0, STORED(control),  nullptr,      HOOK(command))                          \
    REG(I2C_STATUS,   0x04, RO, 0, 0,      0, NO_STORAGE,       HOOK(status), nullptr)                                \
    REG(I2C_REG_ADDR, 0x08, RW, 0, 0xFF,   0, STORED(reg_addr), nullptr,      nullptr)                                \
    REG(I2C_WR_DATA,  0x0C, RW, 0, 0xFFFF, 0, STORED(wr_data),  nullptr,      nullptr)                                \
    REG(I2C_RD_DATA,  0x10, RO, 0, 0,      0, STORED(rd_data),  nullptr,      nullptr)
QXSIM_I2C_REGISTERS(QXSIM_REGISTER_OFFSET)
QXSIM_FIELD(I2C_CONTROL, OP, 0, 12)
QXSIM_FIELD(I2C_CONTROL, DEV, 12, 20)       // the device address, 8 bits of it valid
QXSIM_FIELD(I2C_CONTROL, WIDTH_16, 5, 1)    // read back: the last read was 16 bits wide
QXSIM_FIELD(I2C_CONTROL, WIDTH_32, 6, 1)    // or 32 (neither: 8)
QXSIM_FIELD(I2C_STATUS, ERROR, 30, 1)
QXSIM_FIELD(I2C_STATUS, BUSY, 31, 1)
constexpr uint32_t I2C_CMD_READ = 0x111;    // I2C_CONTROL_OP
constexpr uint32_t I2C_CMD_WRITE = 0x120;

// ---- channel mask and clamp output (channel_regs.*) ----
// Plain storage: the FPGA takes what is written and reads it back. List
// order is the bit in ChannelState::written: groups BL, BR, TL, TR
// (channels 0-19, 20-39, ...), then the clamp register.
#define QXSIM_CHANNEL_REGISTERS(REG)                                                                                   \
    REG(CHL_MASK_BL,  0x8210, RW, 0, 0xFFFFFFFF, 0, STORED(mask[0]), nullptr, HOOK(note_written))                    \
    REG(CHL_MASK_BR,  0x8214, RW, 0, 0xFFFFFFFF, 0, STORED(mask[1]), nullptr, HOOK(note_written))                    \
    REG(CHL_MASK_TL,  0x8218, RW, 0, 0xFFFFFFFF, 0, STORED(mask[2]), nullptr, HOOK(note_written))                    \
    REG(CHL_MASK_TR,  0x821C, RW, 0, 0xFFFFFFFF, 0, STORED(mask[3]), nullptr, HOOK(note_written))                    \
    REG(CLPOUT_CTRL,  0x8170, RW, 0, 0xFFFFFFFF, 0, STORED(clpout),  nullptr, HOOK(note_written))
QXSIM_CHANNEL_REGISTERS(QXSIM_REGISTER_OFFSET)
QXSIM_FIELD(CHL_MASK, CHANNELS, 0, 20)      // one bit per channel of the group
constexpr uint32_t CHL_GROUP_CHANNELS = 20;
QXSIM_FIELD(CLPOUT_CTRL, OFFSET, 0, 5)
QXSIM_FIELD(CLPOUT_CTRL, WIDTH, 8, 3)
QXSIM_FIELD(CLPOUT_CTRL, ENABLE, 12, 1)

// ---- serial-flash (ASMI) controller (asmi_controller.*) ----
// ASMI_CMD reads back the last command, the address, length and protect
// code registers what was written; busy in ASMI_STATUS is computed on every
// read, the error bits stay until written as 1. 0x1024..0x103C are not
// decoded.
#define QXSIM_ASMI_REGISTERS(REG)                                                                                      \
    REG(ASMI_CMD,           0x1000, RW, 0, 0xFFFFFFFF, 0,                  STORED(last_cmd),     nullptr,             \
                                                                           HOOK(command))                             \
    REG(ASMI_STATUS,        0x1004, RW, 0, 0,          ASMI_STATUS_ERRORS, STORED(status),       HOOK(read_status),   \
                                                                           nullptr)                                   \
    REG(ASMI_ADDR,          0x1008, RW, 0, 0xFFFFFFFF, 0,                  STORED(addr),         nullptr, nullptr)    \
    REG(ASMI_LENGTH,        0x100C, RW, 0, 0xFFFFFFFF, 0,                  STORED(length),       nullptr, nullptr)    \
    REG(ASMI_PROTECT_CODE,  0x1010, RW, 0, 0xFFFFFFFF, 0,                  STORED(protect_code), nullptr, nullptr)    \
    REG(ASMI_WR_FIFO,       0x1014, WO, 0, 0,          0,                  NO_STORAGE, nullptr, HOOK(push_wr_fifo))  \
    REG(ASMI_WR_FIFO_LEVEL, 0x1018, RO, 0, 0,          0,                  NO_STORAGE, HOOK(read_wr_level), nullptr) \
    REG(ASMI_RD_FIFO,       0x101C, RO, 0, 0,          0,                  NO_STORAGE, HOOK(pop_rd_fifo), nullptr)   \
    REG(ASMI_RD_FIFO_LEVEL, 0x1020, RO, 0, 0,          0,                  NO_STORAGE, HOOK(read_rd_level), nullptr) \
    REG(ASMI_RECONFIG,      0x1040, WO, 0, 0,          0,                  NO_STORAGE, nullptr, HOOK(reconfigure))
QXSIM_ASMI_REGISTERS(QXSIM_REGISTER_OFFSET)
QXSIM_FIELD(ASMI_STATUS, BUSY, 0, 1)
QXSIM_FIELD(ASMI_STATUS, ERASE_ERR, 1, 1)
QXSIM_FIELD(ASMI_STATUS, WRITE_ERR, 2, 1)
QXSIM_FIELD(ASMI_STATUS, ID, 8, 8)          // latched by the last READ ID
QXSIM_FIELD(ASMI_RECONFIG, START, 4, 1)
constexpr uint32_t ASMI_STATUS_ERRORS = ASMI_STATUS_ERASE_ERR | ASMI_STATUS_WRITE_ERR;

// ASMI_CMD values; ASMI_IMAGE_DATA is ORed into a write or read.
constexpr uint32_t ASMI_4BYTE_MODE = 0x001;
constexpr uint32_t ASMI_READ_ID = 0x002;
constexpr uint32_t ASMI_WRITE = 0x008;
constexpr uint32_t ASMI_READ = 0x010;
constexpr uint32_t ASMI_PROTECT = 0x020;
constexpr uint32_t ASMI_SECTOR_ERASE = 0x040;
constexpr uint32_t ASMI_IMAGE_DATA = 0x200;
constexpr uint32_t ASMI_CLEAR = 0x1000;

// clang-format on

// ---- where the blocks decode ----

// The three I2C masters, and each master's bus of devices.
enum Bus : unsigned { BUS_MAIN = 0, BUS_ISB = 1, BUS_IOB = 2, BUS_COUNT = 3 };
constexpr uint32_t I2C_MAIN_BASE = 0x160;
constexpr uint32_t I2C_ISB_BASE = 0x180;
constexpr uint32_t I2C_IOB_BASE = 0x1A0;

enum class BlockKind : uint8_t { fpga_status, i2c_master, channels, asmi };

// A register block of the FPGA, in the camera's decode order (the
// register file of everything else comes last).
struct BlockPlace {
    BlockKind kind;
    const char* name;    // the block's name for faults and `show`: "i2c-isb"
    const char* prefix;  // in front of its register names: "ISB_" (ISB_I2C_STATUS)
    uint32_t base;       // its list's offsets are from here
    Bus bus;             // an I2C master's bus
    const RegisterLayout& (*layout)();
    // What an access means beyond its value, for the decoded trace: " (I2C
    // bus enabled)"; null, or "" for nothing to add.
    std::string (*note)(uint32_t reg, uint32_t value, bool write);
};
extern const BlockPlace FPGA_BLOCKS[6];

// The place of the first block of a kind, and of an I2C master by its bus.
const BlockPlace& block_place(BlockKind kind);
const BlockPlace& i2c_master_place(Bus bus);

// A field's value in a register's value, shifted down; and a register
// value with the field set to `field`.
constexpr uint32_t field_value(uint32_t value, uint32_t mask)
{
    return (value & mask) >> __builtin_ctz(mask);
}
constexpr uint32_t with_field(uint32_t value, uint32_t mask, uint32_t field)
{
    return (value & ~mask) | ((field << __builtin_ctz(mask)) & mask);
}

}  // namespace qxsim
