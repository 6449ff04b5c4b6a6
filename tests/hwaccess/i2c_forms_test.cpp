// The update and dac forms of the I2C layer against the simulated camera,
// driven through i2c_probe: poll limits, which lines each tool prints, and
// what the force flag lets through.

#include <string>
#include <vector>

#include "sim_camera.h"

namespace {

using qxtest::Result;
using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_is;

constexpr uint32_t ISB_CONTROL = 0x180;
constexpr uint32_t ISB_STATUS = 0x184;
constexpr uint32_t ISB_REG_ADDR = 0x188;
constexpr uint32_t ISB_WR_DATA = 0x18C;

const char TIMEOUT_80[] = "i2c_wait_idle: timeout: 0x80000000\n";
const char ERROR_BIT[] = "i2c_wait_idle: error bit set: 0x40000000\n";
const char READ_NEVER_IDLE[] = "bool i2c_read(uint8_t, uint8_t, uint8_t*, int): I2C never becomes idle.\n";
const char WRITE_NEVER_IDLE[] = "bool i2c_write(uint8_t, uint8_t, uint16_t): I2C never becomes idle.\n";
const char READ_EIO[] = "ERROR#5 at bool fpga_read_reg(uint32_t, uint32_t*)#200: Input/output error\n";
const char WRITE_EIO[] = "ERROR#5 at bool fpga_write_reg(uint32_t, uint32_t)#158: Input/output error\n";

class I2cForms : public ::testing::Test {
protected:
    Result probe(std::vector<std::string> args)
    {
        args.insert(args.begin(), I2C_PROBE_PATH);
        return sim.run(args);
    }

    // The next transaction on the ISB master ends with the error bit, which
    // stays for the wait of the one after.
    void leave_error_bit()
    {
        sim.fault("i2c-isb.error", {"next"});
        ASSERT_TRUE(status_is(probe({"dac", "write", "0x73", "0x5F", "0"}), 0));
        sim.clear_trace();
    }

    qxtest::SimCamera sim;
};

TEST_F(I2cForms, update_reads_the_first_byte_of_the_answer)
{
    Result r = probe({"update", "-v", "read", "0x50", "4", "0"});
    EXPECT_TRUE(stdout_is(r, "i2c_read: reg_addr=0x04 reg_data=0x43\nread=1 byte=0x43\n"));
    EXPECT_EQ(qxtest::traffic_summary(sim.trace()),
              (std::vector<std::string>{"R 0x184 0x0", "W 0x188 0x4", "W 0x180 0x50111",
                                        "R 0x184 0x0", "R 0x190 0x43", "R 0x180 0x0"}));

    // Of a 32-bit answer, the most significant byte.
    sim.setup().device(qxsim::BUS_ISB, 0x3C, 32, "wide").device_register(qxsim::BUS_ISB, 0x3C, 0x10, 0xA1B2C3D4);
    EXPECT_TRUE(stdout_is(probe({"update", "read", "0x3C", "0x10", "0"}), "read=1 byte=0xA1\n"));
}

TEST_F(I2cForms, update_gives_up_silently_after_a_hundred_busy_polls)
{
    sim.fault("i2c-isb.stuck-busy");
    Result r = probe({"update", "-v", "read", "0x50", "4", "0x5A"});
    EXPECT_TRUE(stdout_is(r, std::string(READ_NEVER_IDLE) + "read=0 byte=0x5A\n"));
    EXPECT_EQ(qxtest::reads_of(sim.trace(), ISB_STATUS), 100u);
}

TEST_F(I2cForms, update_reports_an_unreadable_status_and_an_error_bit_always)
{
    sim.fault("eio-reg", {"0x184", "read"});
    Result unreadable = probe({"update", "wait"});
    EXPECT_TRUE(stdout_is(unreadable, std::string(TIMEOUT_80) + "wait=0\n"));
    EXPECT_TRUE(stderr_is(unreadable, READ_EIO));

    sim.clear_faults();
    sim.fault("i2c-isb.0x50.nak", {"5"});
    Result nak = probe({"update", "-v", "read", "0x50", "5", "0x5A"});
    // The failed read's verbose line shows what the byte held before.
    EXPECT_TRUE(stdout_is(nak, std::string(ERROR_BIT) +
                                   "i2c_read: reg_addr=0x05 reg_data=0x5A\nread=0 byte=0x5A\n"));
}

TEST_F(I2cForms, dac_write_shows_the_whole_data_word_and_issues_the_write_command)
{
    Result r = probe({"dac", "-v", "write", "0x10", "0x00", "0x4B00"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "i2c_write: reg_addr=0x00 reg_data=0x4B00\nwrite=1\n"));
    EXPECT_EQ(qxtest::traffic_summary(sim.trace()),
              (std::vector<std::string>{"R 0x184 0x0", "W 0x18c 0x4b00", "W 0x188 0x0",
                                        "W 0x180 0x10120"}));
}

TEST_F(I2cForms, dac_on_a_stuck_master_fails_quietly_or_writes_anyway_when_forced)
{
    sim.fault("i2c-isb.stuck-busy");
    Result plain = probe({"dac", "write", "0x73", "0x5F", "0"});
    EXPECT_TRUE(stdout_is(plain, std::string(WRITE_NEVER_IDLE) + "write=0\n"));
    auto t = sim.trace();
    EXPECT_EQ(qxtest::reads_of(t, ISB_STATUS), 100u);
    EXPECT_TRUE(qxtest::writes_to(t, ISB_WR_DATA).empty());

    sim.clear_trace();
    // Forced, the write goes out and still counts as failed.
    Result forced = probe({"dac", "-f", "write", "0x73", "0x5F", "0"});
    EXPECT_TRUE(stdout_is(forced, std::string(TIMEOUT_80) + "write=0\n"));
    t = sim.trace();
    EXPECT_EQ(qxtest::writes_to(t, ISB_WR_DATA), std::vector<uint32_t>{0});
    EXPECT_EQ(qxtest::writes_to(t, ISB_REG_ADDR), std::vector<uint32_t>{0x5F});
    EXPECT_EQ(qxtest::writes_to(t, ISB_CONTROL), std::vector<uint32_t>{0x73120});
}

TEST_F(I2cForms, dac_reports_unreadable_status_and_forgives_an_error_bit_it_did_not_cause)
{
    sim.fault("eio-reg", {"0x184", "read"});
    EXPECT_TRUE(stdout_is(probe({"dac", "write", "0x73", "0x5F", "0"}),
                          std::string(TIMEOUT_80) + WRITE_NEVER_IDLE + "write=0\n"));
    EXPECT_TRUE(stdout_is(probe({"dac", "-f", "write", "0x73", "0x5F", "0"}),
                          std::string(TIMEOUT_80) + "write=0\n"));
    sim.clear_faults();

    // The first write of a run follows no write of its own: the error bit
    // is another transaction's, and the write goes out.
    leave_error_bit();
    EXPECT_TRUE(stdout_is(probe({"dac", "-v", "write", "0x73", "0x5F", "0"}),
                          "i2c_write: reg_addr=0x5F reg_data=0x00\n"
                          "i2c_wait_idle: error bit left by an earlier transaction: 0x40000000\nwrite=1\n"));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), ISB_CONTROL), std::vector<uint32_t>{0x73120});
    leave_error_bit();
    EXPECT_TRUE(stdout_is(probe({"dac", "write", "0x73", "0x5F", "0"}), "write=1\n"));
}

TEST_F(I2cForms, dac_write_failures_of_data_word_and_command)
{
    sim.fault("eio-reg", {"0x18c", "write"});
    Result data = probe({"dac", "write", "0x73", "0x5F", "0"});
    EXPECT_TRUE(stdout_is(data, "bool i2c_write(uint8_t, uint8_t, uint16_t): Unable to write data word!\n"
                                "write=0\n"));
    EXPECT_TRUE(stderr_is(data, WRITE_EIO));
    EXPECT_TRUE(qxtest::writes_to(sim.trace(), ISB_REG_ADDR).empty());

    // A failed command write adds no line of its own to the error line.
    sim.clear_faults();
    sim.fault("eio-reg", {"0x180", "write"});
    Result command = probe({"dac", "write", "0x73", "0x5F", "0"});
    EXPECT_TRUE(stdout_is(command, "write=0\n"));
    EXPECT_TRUE(stderr_is(command, WRITE_EIO));
}

TEST_F(I2cForms, bus_check_reads_the_enable_bit_of_the_fpga_status)
{
    EXPECT_TRUE(stdout_is(probe({"dac", "bus"}), "bus=1\n"));
    sim.fault("i2c-off");
    EXPECT_TRUE(stdout_is(probe({"dac", "bus"}), "bus=0\n"));
    sim.clear_faults();
    sim.fault("eio-reg", {"0x4"});
    EXPECT_TRUE(stdout_is(probe({"dac", "bus"}),
                          "bool i2c_bus_enabled(): Unable to read the status register!\nbus=0\n"));
}

}  // namespace
