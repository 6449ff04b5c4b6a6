// Registers described as data: names and addresses both ways, the blocks'
// tables against the camera that is built from them, and the access rules
// of each table (read-only, writable bits, write-1-to-clear) as the driver
// sees them.
#include "sim_camera.h"

#include "qxsim/model/fpga/register_names.h"
#include "qxsim/model/fpga/register_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace {

using qxtest::SimCamera;

TEST(RegisterNames, hardware_names_and_addresses_both_ways)
{
    const struct {
        const char* name;
        uint32_t reg;
    } cases[] = {
        {"FPGA_ID", 0x0},         {"FPGA_STATUS", 0x4},          {"MAIN_I2C_CONTROL", 0x160},
        {"ISB_I2C_STATUS", 0x184}, {"ISB_I2C_REG_ADDR", 0x188},  {"ISB_I2C_WR_DATA", 0x18C},
        {"IOB_I2C_RD_DATA", 0x1B0}, {"ASMI_CMD", 0x1000},         {"ASMI_STATUS", 0x1004},
        {"ASMI_WR_FIFO", 0x1014}, {"ASMI_RD_FIFO_LEVEL", 0x1020}, {"ASMI_RECONFIG", 0x1040},
        {"CLPOUT_CTRL", 0x8170},  {"CHL_MASK_BL", 0x8210},        {"CHL_MASK_TR", 0x821C},
    };
    for (const auto& c : cases) {
        ASSERT_NE(qxsim::register_name(c.reg), nullptr) << c.name;
        EXPECT_STREQ(qxsim::register_name(c.reg), c.name);
        uint32_t reg = 0xDEAD;
        EXPECT_TRUE(qxsim::parse_register(c.name, &reg)) << c.name;
        EXPECT_EQ(reg, c.reg) << c.name;
        std::string lower = c.name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
        reg = 0xDEAD;
        EXPECT_TRUE(qxsim::parse_register(lower, &reg)) << lower;
        EXPECT_EQ(reg, c.reg) << lower;
    }
    // every name once, every address once
    const auto& all = qxsim::named_registers();
    EXPECT_EQ(all.size(), 2u + 3 * 5 + 10 + 5);
    for (size_t i = 1; i < all.size(); i++)
        EXPECT_LT(all[i - 1].reg, all[i].reg) << all[i].name;
}

TEST(RegisterNames, unmodelled_registers_have_no_name_and_numbers_still_parse)
{
    for (uint32_t reg : {0x8u, 0x15Cu, 0x1B4u, 0x1024u, 0x103Cu, 0x1044u, 0x8174u, 0x9000u, 0x1001u})
        EXPECT_EQ(qxsim::register_name(reg), nullptr) << std::hex << reg;
    uint32_t reg = 0;
    EXPECT_TRUE(qxsim::parse_register("0x9000", &reg));
    EXPECT_EQ(reg, 0x9000u);
    EXPECT_TRUE(qxsim::parse_register("388", &reg));
    EXPECT_EQ(reg, 388u);
    for (const char* bad : {"", "I2C_STATUS", "ASMI_STATUS_BUSY", "ASMI_STATUSX", "0x100000000", "isb.i2c_status"})
        EXPECT_FALSE(qxsim::parse_register(bad, &reg)) << bad;
}

// The lookup is built from the tables where the camera places its blocks:
// every block's table must come out under the same name and address.
TEST(RegisterNames, every_table_block_of_the_camera_is_named_where_it_decodes)
{
    SimCamera sim;
    size_t named = 0;
    for (qxsim::RegisterBlock* b : sim.model().blocks()) {
        const qxsim::RegisterLayout* regs = b->registers();
        if (!regs)
            continue;
        for (unsigned i = 0; i < regs->size(); i++) {
            const uint32_t reg = b->base() + (*regs)[i].offset;
            const std::string name = std::string(b->register_prefix()) + (*regs)[i].name;
            EXPECT_TRUE(b->decodes(reg)) << name;
            ASSERT_NE(qxsim::register_name(reg), nullptr) << name;
            EXPECT_EQ(qxsim::register_name(reg), name);
            named++;
        }
    }
    EXPECT_EQ(named, qxsim::named_registers().size());
}

// Registers read without side effects: reset value at power-on, then only
// the writable bits take a write and the write-1-to-clear bits clear.
TEST(RegisterTable, stored_registers_keep_reset_writable_and_clear_bits_per_table)
{
    SimCamera sim;
    qxsim::Camera& cam = sim.model();
    size_t checked = 0;
    for (const qxsim::NamedRegister& n : qxsim::named_registers()) {
        const qxsim::RegisterInfo& info = *n.info;
        uint32_t v = 0;
        EXPECT_EQ(cam.reg_read(n.reg, &v), 0);
        if (info.access == qxsim::RegAccess::WO) {
            EXPECT_EQ(v, 0u) << n.name << ": write-only reads 0";
            continue;
        }
        if (info.access == qxsim::RegAccess::RO) {
            EXPECT_EQ(info.writable | info.w1c, 0u) << n.name;
        }
        bool plain = false;
        for (qxsim::RegisterBlock* b : cam.blocks())
            if (b->decodes(n.reg) && b->registers()) {
                uint32_t stored = 0;
                plain = b->stored_value(static_cast<unsigned>(b->registers()->index_of(n.reg - b->base())), &stored);
            }
        if (!plain)
            continue;  // computed on read: the cases below
        EXPECT_EQ(v, info.reset) << n.name;
        EXPECT_EQ(cam.reg_write(n.reg, 0xFFFFFFFF), 0);
        EXPECT_EQ(cam.reg_read(n.reg, &v), 0);
        EXPECT_EQ(v, ((info.reset & ~info.writable) | info.writable) & ~info.w1c) << n.name;
        EXPECT_EQ(cam.reg_write(n.reg, 0), 0);
        EXPECT_EQ(cam.reg_read(n.reg, &v), 0);
        EXPECT_EQ(v, ((info.reset & ~info.writable) | info.writable) & ~info.w1c & ~info.writable) << n.name;
        checked++;
    }
    EXPECT_GE(checked, 15u) << "FPGA, I2C and channel registers, ASMI_CMD/ADDR/LENGTH/PROTECT_CODE";
}

// Registers with hooks, by name: what each write leaves behind.
TEST(RegisterTable, hooked_registers_follow_their_table_entries)
{
    const struct {
        const char* what;
        std::vector<std::pair<const char*, uint32_t>> writes;
        const char* reg;
        uint32_t expected;
    } cases[] = {
        {"REG_ADDR keeps 8 bits", {{"ISB_I2C_REG_ADDR", 0x1234}}, "ISB_I2C_REG_ADDR", 0x34},
        {"WR_DATA keeps 16 bits", {{"MAIN_I2C_WR_DATA", 0x12345678}}, "MAIN_I2C_WR_DATA", 0x5678},
        {"RD_DATA is read-only", {{"IOB_I2C_RD_DATA", 0x55}}, "IOB_I2C_RD_DATA", 0},
        {"STATUS is read-only", {{"ISB_I2C_STATUS", 0xFFFFFFFF}}, "ISB_I2C_STATUS", 0},
        {"CONTROL takes a command, reads the width flags",
         {{"ISB_I2C_REG_ADDR", 4}, {"ISB_I2C_CONTROL", 0x50111}}, "ISB_I2C_CONTROL", 0},
        {"a refused command sets the error bit", {{"ISB_I2C_CONTROL", 0x50999}}, "ISB_I2C_STATUS", 0x40000000},
        {"FPGA_STATUS is read-only", {{"FPGA_STATUS", 0}}, "FPGA_STATUS", 0x11},
        {"READ_ID puts the ID in bits 15..8", {{"ASMI_CMD", 0x2}}, "ASMI_STATUS", 0x2100},
        {"the ID field is not writable", {{"ASMI_CMD", 0x2}, {"ASMI_STATUS", 0xFF00}}, "ASMI_STATUS", 0x2100},
        {"a refused erase sets ERASE_ERR", {{"ASMI_ADDR", 0}, {"ASMI_CMD", 0x40}}, "ASMI_STATUS", 0x2},
        {"writing 1 to another error bit leaves ERASE_ERR",
         {{"ASMI_ADDR", 0}, {"ASMI_CMD", 0x40}, {"ASMI_STATUS", 0x4}}, "ASMI_STATUS", 0x2},
        {"writing 1 to ERASE_ERR clears it", {{"ASMI_ADDR", 0}, {"ASMI_CMD", 0x40}, {"ASMI_STATUS", 0x2}}, "ASMI_STATUS", 0},
        {"the write FIFO port is write-only", {{"ASMI_WR_FIFO", 0x1234}}, "ASMI_WR_FIFO", 0},
        {"a pushed word counts in the level", {{"ASMI_WR_FIFO", 1}, {"ASMI_WR_FIFO", 2}}, "ASMI_WR_FIFO_LEVEL", 2},
        {"the level is read-only", {{"ASMI_WR_FIFO_LEVEL", 9}}, "ASMI_WR_FIFO_LEVEL", 0},
        {"a read fills the read FIFO", {{"ASMI_ADDR", 0}, {"ASMI_LENGTH", 8}, {"ASMI_CMD", 0x10}}, "ASMI_RD_FIFO_LEVEL", 2},
        {"RECONFIG is write-only and resets the controller",
         {{"ASMI_ADDR", 0x1000}, {"ASMI_RECONFIG", 0x10}}, "ASMI_ADDR", 0},
        {"RECONFIG without the start bit does nothing", {{"ASMI_ADDR", 0x1000}, {"ASMI_RECONFIG", 0x1}}, "ASMI_ADDR", 0x1000},
    };
    for (const auto& c : cases) {
        SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
        for (const auto& w : c.writes) {
            uint32_t reg = 0;
            ASSERT_TRUE(qxsim::parse_register(w.first, &reg)) << w.first;
            EXPECT_EQ(sim.model().reg_write(reg, w.second), 0) << c.what;
        }
        uint32_t reg = 0, v = 0xDEAD;
        ASSERT_TRUE(qxsim::parse_register(c.reg, &reg)) << c.reg;
        EXPECT_EQ(sim.model().reg_read(reg, &v), 0);
        EXPECT_EQ(v, c.expected) << c.what;
    }
}

}  // namespace
