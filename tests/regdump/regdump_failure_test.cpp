// regdump against a misbehaving master or driver: which lines it prints,
// where the run stops, and what the force flag lets through.

#include "regdump_fixture.h"

namespace regdump_test {
namespace {

using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_is;

const char SETTINGS_20[] = "bus = M\ndev_addr = 0x20\nreg_addr = 0x00\n";
const char READ_EIO[] = "ERROR#5 at bool fpga_read_reg(uint32_t, uint32_t*)#200: Input/output error\n";
const char WRITE_EIO[] = "ERROR#5 at bool fpga_write_reg(uint32_t, uint32_t)#158: Input/output error\n";
const char UNABLE_00[] = "Unable to read address 0x00\n";

TEST_F(RegdumpTest, stuck_master_stops_the_run_after_ten_status_reads)
{
    sim.fault("i2c-main.stuck-busy");
    Result quiet = regdump({"-d", "0x20"});
    EXPECT_TRUE(status_is(quiet, 1));
    EXPECT_TRUE(stdout_is(quiet, NEVER_IDLE));
    EXPECT_TRUE(stderr_is(quiet, UNABLE_00));
    auto t = sim.trace();
    EXPECT_EQ(qxtest::reads_of(t, MAIN_STATUS), 10u);
    EXPECT_TRUE(qxtest::writes_to(t, MAIN_CONTROL).empty());

    Result verbose = regdump({"-v", "-d", "0x20"});
    EXPECT_TRUE(stdout_is(verbose, std::string(SETTINGS_20) + "i2c_wait_idle: timeout: 0x80000000\n" +
                                       NEVER_IDLE));
}

TEST_F(RegdumpTest, forced_read_on_a_stuck_master_fails_on_its_completion_wait)
{
    sim.fault("i2c-main.stuck-busy");
    Result r = regdump({"-f", "-d", "0x20"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, UNABLE_00));
    auto t = sim.trace();
    EXPECT_EQ(qxtest::reads_of(t, MAIN_STATUS), 20u);
    EXPECT_EQ(qxtest::writes_to(t, MAIN_CONTROL), std::vector<uint32_t>{0x20111});
}

TEST_F(RegdumpTest, completion_wait_gives_up_at_the_tenth_busy_status)
{
    sim.fault("i2c-main.busy", {"9"});
    Result nine = regdump({"-d", "0x20", "-c", "2"});
    EXPECT_TRUE(status_is(nine, 0));
    EXPECT_TRUE(stdout_is(nine, "00: 00 01 \n"));
    EXPECT_EQ(qxtest::reads_of(sim.trace(), MAIN_STATUS), 2u * (1 + 10));

    sim.fault("i2c-main.busy", {"10"});
    Result ten = regdump({"-v", "-d", "0x20", "-c", "2"});
    EXPECT_TRUE(status_is(ten, 1));
    EXPECT_TRUE(stdout_is(ten, std::string(SETTINGS_20) + "i2c_wait_idle: timeout: 0x80000000\n" +
                                   "[00] = 0x0000\n"));
    EXPECT_TRUE(stderr_is(ten, UNABLE_00));
}

TEST_F(RegdumpTest, force_lets_an_unreadable_status_before_the_command_pass)
{
    // The first access of the run is the status read before the command.
    sim.fault("eio-at", {"1"});
    Result plain = regdump({"-v", "-d", "0x20", "-c", "2"});
    EXPECT_TRUE(status_is(plain, 1));
    EXPECT_TRUE(stdout_is(plain, std::string(SETTINGS_20) + "i2c_wait_idle: timeout: 0x80000000\n" +
                                     NEVER_IDLE));
    EXPECT_TRUE(stderr_is(plain, std::string(READ_EIO) + UNABLE_00));

    sim.fault("eio-at", {"1"});
    Result forced = regdump({"-f", "-d", "0x20", "-c", "2"});
    EXPECT_TRUE(status_is(forced, 0));
    EXPECT_TRUE(stdout_is(forced, "00: 00 01 \n"));
    EXPECT_TRUE(stderr_is(forced, READ_EIO));
}

TEST_F(RegdumpTest, naked_read_fails_and_names_the_register_that_failed)
{
    sim.fault("i2c-main.0x20.nak", {"0x24"});
    Result r = regdump({"-d", "0x20", "-r", "0x20", "-c", "8"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, "20: 20 21 22 23 "));
    EXPECT_TRUE(stderr_is(r, "Unable to read address 0x24\n"));
    // The data registers of the failed transaction are never read.
    EXPECT_EQ(qxtest::reads_of(sim.trace(), MAIN_RD_DATA), 4u);
}

TEST_F(RegdumpTest, naked_read_in_verbose_mode_shows_the_error_status_and_the_old_buffer)
{
    sim.fault("i2c-main.0x20.nak", {"0x01"});
    Result r = regdump({"-v", "-d", "0x20", "-c", "4"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, std::string(SETTINGS_20) + "[00] = 0x0000\n00: 00 " +
                                 "i2c_wait_idle: error bit set: 0x40000000\n[01] = 0x0000\n"));
    EXPECT_TRUE(stderr_is(r, "Unable to read address 0x01\n"));
}

// The error bit that a run finds before its first transaction is the
// outcome of someone else's: it is reported with -v and the run goes on.
TEST_F(RegdumpTest, error_bit_left_by_an_earlier_read_is_forgiven_by_the_next_run)
{
    Result absent = regdump({"-d", "0x33", "-c", "1"});
    EXPECT_TRUE(status_is(absent, 1));

    Result plain = regdump({"-v", "-d", "0x20", "-c", "1"});
    EXPECT_TRUE(status_is(plain, 0));
    EXPECT_TRUE(stdout_is(plain, std::string(SETTINGS_20) +
                                     "i2c_wait_idle: error bit left by an earlier transaction: 0x40000000\n"
                                     "[00] = 0x0000\n00: 00 \n"));
    EXPECT_TRUE(stderr_is(plain, ""));

    // Its own read's error bit still fails the run.
    EXPECT_TRUE(status_is(regdump({"-d", "0x33", "-c", "1"}), 1));
    EXPECT_TRUE(stdout_is(regdump({"-d", "0x20", "-c", "1"}), "00: 00 \n"));
}

TEST_F(RegdumpTest, failed_address_write_skips_the_command)
{
    sim.fault("eio-reg", {"0x168", "write"});
    Result r = regdump({"-d", "0x20"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, "bool i2c_read(uint8_t, uint8_t*): FPGA write error.\n"));
    EXPECT_TRUE(stderr_is(r, std::string(WRITE_EIO) + UNABLE_00));
    EXPECT_TRUE(qxtest::writes_to(sim.trace(), MAIN_CONTROL).empty());
}

TEST_F(RegdumpTest, failed_read_back_of_data_or_control_fails_the_read)
{
    struct Case {
        const char* reg;
        size_t data_reads;
    };
    // The control register is only read back once the data was read.
    const Case cases[] = {{"0x170", 0}, {"0x160", 1}};
    for (const Case& c : cases) {
        sim.clear_faults();
        sim.clear_trace();
        sim.fault("eio-reg", {c.reg, "read"});
        Result r = regdump({"-d", "0x20", "-r", "0x10"});
        EXPECT_TRUE(status_is(r, 1)) << c.reg;
        EXPECT_TRUE(stdout_is(r, "Unable to read the master control register!\n"));
        EXPECT_TRUE(stderr_is(r, std::string(READ_EIO) + "Unable to read address 0x10\n"));
        EXPECT_EQ(qxtest::reads_of(sim.trace(), MAIN_RD_DATA), c.data_reads) << c.reg;
    }
}

}  // namespace
}  // namespace regdump_test
