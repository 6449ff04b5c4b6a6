// I2C master blocks and their bus devices, through the model's register
// interface (what the driver hands to the FPGA).
#include "sim_camera.h"

#include "qxsim/model/fpga/i2c_master.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/devices/register_device.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using qxtest::SimCamera;

constexpr uint32_t ISB = 0x180, MAIN = 0x160, IOB = 0x1A0;
constexpr uint32_t CONTROL = 0x0, STATUS = 0x4, REG_ADDR = 0x8, WR_DATA = 0xC, RD_DATA = 0x10;
constexpr uint32_t BUSY = 0x80000000, ERROR = 0x40000000;

struct Answer {
    uint32_t status;
    uint32_t data;
    uint32_t control;
};

// One read transaction as the tools drive it: address, command, status,
// then data and the width flags.
Answer i2c_read(qxsim::Camera& cam, uint32_t base, uint32_t dev, uint32_t reg)
{
    uint32_t v = 0;
    EXPECT_EQ(cam.reg_write(base + REG_ADDR, reg), 0);
    EXPECT_EQ(cam.reg_write(base + CONTROL, dev << 12 | 0x111), 0);
    Answer a{};
    EXPECT_EQ(cam.reg_read(base + STATUS, &a.status), 0);
    EXPECT_EQ(cam.reg_read(base + RD_DATA, &a.data), 0);
    EXPECT_EQ(cam.reg_read(base + CONTROL, &a.control), 0);
    (void)v;
    return a;
}

uint32_t status_of(qxsim::Camera& cam, uint32_t base)
{
    uint32_t v = 0;
    EXPECT_EQ(cam.reg_read(base + STATUS, &v), 0);
    return v;
}

TEST(I2cMaster, identification_memory_answers_sensor_code_one_byte_per_register)
{
    SimCamera sim(qxtest::SimOptions{"LUX19HS-M", false});
    qxsim::Camera& cam = sim.model();
    const uint8_t expected[4] = {'M', 'H', '9', 'X'};
    for (uint32_t r = 4; r < 8; r++) {
        Answer a = i2c_read(cam, ISB, 0x50, r);
        EXPECT_EQ(a.status, 0u) << "register " << r;
        EXPECT_EQ(a.data, expected[r - 4]) << "register " << r;
        EXPECT_EQ(a.control & 0x60, 0u) << "one byte: neither width flag";
    }
}

TEST(I2cMaster, width_flags_follow_the_device_register_width)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    sim.setup()
        .device_register(qxsim::BUS_MAIN, 0x48, 2, 0xBEEF)
        .device_register(qxsim::BUS_IOB, 0x3C, 7, 0x12345678)
        .device_register(qxsim::BUS_MAIN, 0x20, 3, 0xA5);
    Answer w16 = i2c_read(cam, MAIN, 0x48, 2);
    EXPECT_EQ(w16.data, 0xBEEFu);
    EXPECT_EQ(w16.control, 0x20u);
    Answer w32 = i2c_read(cam, IOB, 0x3C, 7);
    EXPECT_EQ(w32.data, 0x12345678u);
    EXPECT_EQ(w32.control, 0x40u);
    Answer w8 = i2c_read(cam, MAIN, 0x20, 3);
    EXPECT_EQ(w8.data, 0xA5u);
    EXPECT_EQ(w8.control, 0u);
}

TEST(I2cMaster, each_master_reaches_only_its_own_bus)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 4).status, 0u);
    EXPECT_EQ(i2c_read(cam, MAIN, 0x50, 4).status, ERROR);
    EXPECT_EQ(i2c_read(cam, IOB, 0x50, 4).status, ERROR);
    EXPECT_EQ(i2c_read(cam, MAIN, 0x48, 0).status, 0u);
    EXPECT_EQ(i2c_read(cam, ISB, 0x48, 0).status, ERROR);
}

TEST(I2cMaster, absent_device_sets_error_bit_and_keeps_previous_data)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    Answer good = i2c_read(cam, ISB, 0x50, 4);
    ASSERT_EQ(good.data, uint32_t('C'));
    Answer nak = i2c_read(cam, ISB, 0x51, 4);
    EXPECT_EQ(nak.status, ERROR);
    EXPECT_EQ(nak.data, uint32_t('C'));
    // the next good transaction clears the error bit
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 5).status, 0u);
}

TEST(I2cMaster, unknown_command_bits_set_the_error_bit)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    ASSERT_EQ(cam.reg_write(ISB + REG_ADDR, 4), 0);
    ASSERT_EQ(cam.reg_write(ISB + CONTROL, 0x50113), 0);
    EXPECT_EQ(status_of(cam, ISB), ERROR);
    ASSERT_EQ(cam.reg_write(ISB + CONTROL, 0x150111), 0);  // device beyond 8 bits
    EXPECT_EQ(status_of(cam, ISB), ERROR);
    ASSERT_EQ(cam.reg_write(ISB + CONTROL, 0x50111), 0);
    EXPECT_EQ(status_of(cam, ISB), 0u);
}

TEST(I2cMaster, write_transaction_stores_data_word_truncated_to_register_width)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    ASSERT_EQ(cam.reg_write(MAIN + WR_DATA, 0x1234ABCD), 0);  // 16 bits reach the bus
    ASSERT_EQ(cam.reg_write(MAIN + REG_ADDR, 0x105), 0);       // 8 bits of register
    ASSERT_EQ(cam.reg_write(MAIN + CONTROL, 0x48120), 0);
    EXPECT_EQ(status_of(cam, MAIN), 0u);
    ASSERT_EQ(cam.reg_write(MAIN + CONTROL, 0x20120), 0);
    EXPECT_EQ(status_of(cam, MAIN), 0u);
    auto lock = cam.lock();
    EXPECT_EQ(cam.register_device_slot(qxsim::BUS_MAIN, 0x48)->reg(5), 0xABCDu);
    EXPECT_EQ(cam.register_device_slot(qxsim::BUS_MAIN, 0x20)->reg(5), 0xCDu);
}

TEST(I2cMaster, disabled_bus_answers_every_transaction_with_the_error_bit)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    sim.fault("i2c-off");
    EXPECT_TRUE(qxtest::contains(sim.show(), "Access faults set: i2c-off\n")) << sim.show();
    uint32_t st = 0;
    ASSERT_EQ(cam.reg_read(0x4, &st), 0);
    EXPECT_EQ(st & 0x10, 0u);
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 4).status, ERROR);
    sim.clear_faults();
    EXPECT_TRUE(qxtest::contains(sim.show(), "Access faults set: none\n")) << sim.show();
    ASSERT_EQ(cam.reg_read(0x4, &st), 0);
    EXPECT_EQ(st & 0x10, 0x10u);
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 4).status, 0u);
}

TEST(I2cMaster, busy_fault_holds_busy_for_k_status_reads_then_delivers)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    sim.fault("i2c-isb.busy", {"3"});
    ASSERT_EQ(cam.reg_write(ISB + REG_ADDR, 6), 0);
    ASSERT_EQ(cam.reg_write(ISB + CONTROL, 0x50111), 0);
    uint32_t data = 0;
    ASSERT_EQ(cam.reg_read(ISB + RD_DATA, &data), 0);
    EXPECT_EQ(data, 0u) << "data appears only when busy ends";
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(status_of(cam, ISB), BUSY) << "read " << i;
    EXPECT_EQ(status_of(cam, ISB), 0u);
    ASSERT_EQ(cam.reg_read(ISB + RD_DATA, &data), 0);
    EXPECT_EQ(data, uint32_t('3'));
}

TEST(I2cMaster, stuck_busy_drops_commands_until_cleared)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    sim.fault("i2c-isb.stuck-busy");
    ASSERT_EQ(cam.reg_write(ISB + REG_ADDR, 4), 0);
    ASSERT_EQ(cam.reg_write(ISB + CONTROL, 0x50111), 0);
    for (int i = 0; i < 50; i++)
        ASSERT_EQ(status_of(cam, ISB), BUSY);
    EXPECT_EQ(status_of(cam, MAIN), 0u) << "the other masters are unaffected";
    std::string err;
    ASSERT_TRUE(cam.clear_faults("i2c-isb", &err)) << err;
    EXPECT_EQ(status_of(cam, ISB), 0u);
    auto lock = cam.lock();
    EXPECT_EQ(cam.i2c(qxsim::BUS_ISB).state().dropped, 1u);
}

TEST(I2cMaster, error_fault_next_fails_one_transaction_always_fails_all)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    sim.fault("i2c-isb.error", {"next"});
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 4).status, ERROR);
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 4).status, 0u);
    sim.fault("i2c-isb.error", {"always"});
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 4).status, ERROR);
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 5).status, ERROR);
}

TEST(I2cMaster, device_nak_fault_on_one_register_leaves_the_others_readable)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    qxsim::Camera& cam = sim.model();
    sim.fault("i2c-isb.0x50.nak", {"6"});
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 5).status, 0u);
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 6).status, ERROR);
    EXPECT_EQ(i2c_read(cam, ISB, 0x50, 7).status, 0u);
    sim.fault("i2c-main.0x48.nak");
    EXPECT_EQ(i2c_read(cam, MAIN, 0x48, 0).status, ERROR);
}

TEST(I2cMaster, fault_names_are_checked)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    std::string err;
    EXPECT_FALSE(sim.model().set_fault("i2c-isb.busy", {"0"}, &err));
    EXPECT_FALSE(sim.model().set_fault("i2c-isb.0x51.nak", {}, &err));
    EXPECT_NE(err.find("0x51"), std::string::npos) << err;
    EXPECT_FALSE(sim.model().set_fault("i2c-isb.wobble", {}, &err));
    EXPECT_FALSE(sim.model().set_fault("eio-at", {"x"}, &err));
    EXPECT_FALSE(sim.model().set_fault("bogus", {}, &err));
}

}  // namespace
