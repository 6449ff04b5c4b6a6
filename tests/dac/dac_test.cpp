// The real dac binary against the simulated camera: the two sequences, the
// chips afterwards, register traffic, and each failure the camera can
// produce.
#include "sim_camera.h"

#include "qxsim/model/devices/dac_state.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_is;
using Args = std::vector<std::string>;
using Words = std::vector<uint32_t>;

const char usage_text[] =
    "usage: dac [options]\n"
    "  -d             --down      Power-down the DACs.\n"
    "  -f             --force     Force the I2C transactions.\n"
    "  -u             --up        Power-up the DACs.\n"
    "  -v             --verbose   Display debug messages.\n"
    "  -?             --help      Print usage message and exit\n";

// The power-up sequence as the chips must receive it.
struct Row {
    uint8_t dev, reg;
    uint16_t value, data;
};
const Row rows[19] = {
    {0x10, 0x60, 0x000, 0x0000}, {0x10, 0x00, 0x12C, 0x4B00}, {0x10, 0x01, 0x0E1, 0x3840},
    {0x10, 0x02, 0x096, 0x2580}, {0x10, 0x03, 0x0E1, 0x3840}, {0x10, 0x04, 0x07D, 0x1F40},
    {0x10, 0x05, 0x038, 0x0E00}, {0x10, 0x06, 0x0ED, 0x3B40}, {0x10, 0x07, 0x15E, 0x5780},
    {0x11, 0x60, 0x000, 0x0000}, {0x11, 0x00, 0x0E1, 0x3840}, {0x11, 0x01, 0x0AF, 0x2BC0},
    {0x11, 0x02, 0x04B, 0x12C0}, {0x11, 0x03, 0x1C2, 0x7080}, {0x11, 0x04, 0x338, 0xCE00},
    {0x11, 0x05, 0x338, 0xCE00}, {0x11, 0x06, 0x000, 0x0000}, {0x11, 0x07, 0x0E1, 0x3840},
    {0x73, 0x1F, 0x000, 0x0000},
};
// Output i (0..15, VREF..VMUX2) is loaded by this row.
const Row& row_of_output(unsigned i) { return rows[i < 8 ? i + 1 : i + 2]; }

Words powerup_commands(unsigned n)
{
    Words v;
    for (unsigned i = 0; i < n; i++)
        v.push_back((uint32_t(rows[i].dev) << 12) | 0x120);
    return v;
}
const Words shutdown_command = {0x73120};

// Number of the register access of a power-up row's step: the FPGA_STATUS
// read comes first, then per row (idle master) the status read (step 1), the
// data word (2), the register address (3) and the command word (4).
std::string access(unsigned row, unsigned step) { return std::to_string(1 + 4 * (row - 1) + step); }

qxsim::DacState dacs(SimCamera& sim)
{
    auto lock = sim.model().lock();
    return sim.model().state().dac;
}
const qxsim::DacOutputState& output(const qxsim::DacState& d, unsigned i)
{
    return (i < 8 ? d.u12 : d.u14).outputs[i % 8];
}
void expect_outputs_at_power_on(const qxsim::DacState& d)
{
    for (unsigned i = 0; i < 16; i++) {
        EXPECT_EQ(output(d, i).code, 0) << "output " << i;
        EXPECT_EQ(output(d, i).powered, 0) << "output " << i;
    }
}

TEST(Dac, usage_goes_to_stderr_with_exit_1_and_no_access)
{
    SimCamera sim;
    Result r = sim.run({"dac", "--help"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, usage_text));
    EXPECT_EQ(r.err.size(), 287u);
    for (const char* opt : {"-x", "-?"}) {
        r = sim.run({"dac", "-u", opt});
        EXPECT_TRUE(status_is(r, 1)) << opt;
        EXPECT_TRUE(qxtest::stderr_contains(r, "invalid option"));
        EXPECT_EQ(r.err.substr(r.err.find('\n') + 1), usage_text) << opt;
    }
    EXPECT_TRUE(qxtest::register_traffic(sim.trace()).empty());
}

TEST(Dac, last_of_down_and_up_decides_and_extra_arguments_are_ignored)
{
    SimCamera sim;
    EXPECT_TRUE(status_is(sim.run({"dac", "-d", "-u", "extra"}), 0));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), 0x180), powerup_commands(19));
    sim.clear_trace();
    EXPECT_TRUE(status_is(sim.run({"dac", "--up", "--down"}), 0));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), 0x180), shutdown_command);
}

TEST(Dac, powerup_sends_the_table_and_powers_every_output_at_its_value)
{
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"dac", "-d"}), 0));
    sim.clear_trace();
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, ""));

    auto t = sim.trace();
    Words regs, data;
    for (const Row& row : rows) {
        regs.push_back(row.reg);
        data.push_back(row.data);
    }
    EXPECT_EQ(qxtest::writes_to(t, 0x180), powerup_commands(19));
    EXPECT_EQ(qxtest::writes_to(t, 0x188), regs);
    EXPECT_EQ(qxtest::writes_to(t, 0x18C), data);
    EXPECT_EQ(qxtest::reads_of(t, 0x184), 20u);  // a wait before each write, one after the last

    qxsim::DacState d = dacs(sim);
    for (unsigned i = 0; i < 16; i++) {
        EXPECT_EQ(output(d, i).code, row_of_output(i).value) << "output " << i;
        EXPECT_EQ(output(d, i).powered, 1) << "output " << i;
    }
    EXPECT_TRUE(d.u12.ref_internal && d.u12.ref_powered && d.u14.ref_internal && d.u14.ref_powered);
}

TEST(Dac, verbose_powerup_prints_each_table_line_before_its_write)
{
    SimCamera sim;
    Result r = sim.run({"dac", "-u", "-v"});
    EXPECT_TRUE(status_is(r, 0));
    std::string expected;
    char line[80];
    for (const Row& row : rows) {
        snprintf(line, sizeof line, "%02X[%02X] <= 0x%04X [0x%04X << 6]\ni2c_write: reg_addr=0x%02X reg_data=0x%02X\n",
                 row.dev, row.reg, row.data, row.value, row.reg, row.data);
        expected += line;
    }
    EXPECT_TRUE(stdout_is(r, expected));
    EXPECT_EQ(r.out.rfind("10[60] <= 0x0000 [0x0000 << 6]\n", 0), 0u);
    EXPECT_TRUE(qxtest::stdout_contains(r, "10[00] <= 0x4B00 [0x012C << 6]\ni2c_write: reg_addr=0x00 reg_data=0x4B00\n"));
}

TEST(Dac, shutdown_is_one_quiet_global_write_that_powers_both_chips_down)
{
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"dac", "-u"}), 0));
    sim.clear_trace();
    Result r = sim.run({"dac"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, ""));
    auto t = sim.trace();
    EXPECT_EQ(qxtest::writes_to(t, 0x180), shutdown_command);
    EXPECT_EQ(qxtest::writes_to(t, 0x188), Words{0x5F});
    EXPECT_EQ(qxtest::writes_to(t, 0x18C), Words{0});
    EXPECT_EQ(qxtest::reads_of(t, 0x184), 2u);

    qxsim::DacState d = dacs(sim);
    for (unsigned i = 0; i < 16; i++) {
        EXPECT_EQ(output(d, i).powered, 0) << "output " << i;
        EXPECT_EQ(output(d, i).code, row_of_output(i).value) << "output " << i;
    }
    EXPECT_FALSE(d.u12.ref_powered || d.u14.ref_powered);

    r = sim.run({"dac", "-d", "-v"});
    EXPECT_TRUE(stdout_is(r, "i2c_write: reg_addr=0x5F reg_data=0x00\nvoid dac_shutdown(): Shutdown complete.\n"));
}

TEST(Dac, power_cut_before_the_update_leaves_inputs_loaded_and_outputs_unchanged)
{
    SimCamera sim;
    sim.fault("power-cut", {access(19, 4)});
    Result r = sim.run({"dac", "-u"});
    EXPECT_EQ(r.signal, 9);
    EXPECT_EQ(qxtest::writes_to(sim.trace(), 0x180), powerup_commands(18));
    qxsim::DacState d = dacs(sim);
    expect_outputs_at_power_on(d);
    for (unsigned i = 0; i < 16; i++)
        EXPECT_EQ(output(d, i).input, row_of_output(i).value) << "output " << i;
}

// ---- failures: one line per layer, the commands that got out, exit status

const char never_idle[] = "bool i2c_write(uint8_t, uint8_t, uint16_t): I2C never becomes idle.\n";
const char powerup_failed[] = "void dac_powerup(): I/O error\n";
const char shutdown_failed[] = "void dac_shutdown(): Unable to write shutdown command!\n";
const char error_bit[] = "i2c_wait_idle: error bit set: 0x40000000\n";
const char timeout[] = "i2c_wait_idle: timeout: 0x80000000\n";
const char eio_write[] = "ERROR#5 at bool fpga_write_reg(uint32_t, uint32_t)#158: Input/output error\n";
const char eio_read[] = "ERROR#5 at bool fpga_read_reg(uint32_t, uint32_t*)#200: Input/output error\n";
const char shutdown_verbose[] = "i2c_write: reg_addr=0x5F reg_data=0x00\n";

std::string repeated(const std::string& line, unsigned n)
{
    std::string s;
    for (unsigned i = 0; i < n; i++)
        s += line;
    return s;
}

struct Failure {
    const char* name;
    std::vector<Args> faults;  // fault name, then its arguments
    Args argv;
    std::string out, err;
    int status;
    Words commands;            // written to I2C_CONTROL
    bool outputs_unchanged;
};

void PrintTo(const Failure& f, std::ostream* os)
{
    *os << f.name;
}

const Failure failures[] = {
    {"nak_at_row_18_stops_before_the_update", {{"i2c-isb.0x11.nak", "9"}}, {"dac", "-u"},
     std::string(error_bit) + never_idle + powerup_failed, "", 1, powerup_commands(18), true},
    {"update_not_acknowledged_is_caught_by_the_last_wait", {{"i2c-isb.0x10.nak", "10"}, {"i2c-isb.0x11.nak", "10"}},
     {"dac", "-u"}, std::string(error_bit) + powerup_failed, "", 1, powerup_commands(19), true},
    {"failed_third_command_write_stops_the_sequence", {{"eio-at", access(3, 4)}}, {"dac", "-u"},
     powerup_failed, eio_write, 1, powerup_commands(2), true},
    {"failed_data_word_write", {{"eio-at", access(3, 2)}}, {"dac", "-u"},
     std::string("bool i2c_write(uint8_t, uint8_t, uint16_t): Unable to write data word!\n") + powerup_failed,
     eio_write, 1, powerup_commands(2), true},
    {"unreadable_master_status_times_out", {{"eio-at", access(3, 1)}}, {"dac", "-u"},
     std::string(timeout) + never_idle + powerup_failed, eio_read, 1, powerup_commands(2), true},
    {"stuck_master_sends_nothing", {{"i2c-isb.stuck-busy"}}, {"dac", "-u"},
     std::string(never_idle) + powerup_failed, "", 1, {}, true},
    {"slow_master_is_waited_for", {{"i2c-isb.busy", "3"}}, {"dac", "-u"}, "", "", 0, powerup_commands(19), false},
    {"forced_nak_at_row_18_still_sends_the_update", {{"i2c-isb.0x11.nak", "9"}}, {"dac", "-u", "-f"},
     std::string(error_bit) + powerup_failed, "", 1, powerup_commands(19), false},
    {"forced_powerup_on_a_stuck_master_times_out_once_per_write", {{"i2c-isb.stuck-busy"}}, {"dac", "-u", "-f"},
     repeated(timeout, 19) + powerup_failed, "", 1, powerup_commands(19), true},
    {"shutdown_not_acknowledged", {{"i2c-isb.0x10.nak"}, {"i2c-isb.0x11.nak"}}, {"dac", "-v"},
     std::string(shutdown_verbose) + error_bit + shutdown_failed, "", 1, shutdown_command, true},
    {"shutdown_acknowledged_by_one_chip", {{"i2c-isb.0x11.nak"}}, {"dac"}, "", "", 0, shutdown_command, false},
    {"shutdown_command_write_fails", {{"eio-reg", "0x180"}}, {"dac", "-v"},
     std::string(shutdown_verbose) + shutdown_failed, eio_write, 1, {}, true},
    {"shutdown_on_a_stuck_master", {{"i2c-isb.stuck-busy"}}, {"dac"},
     std::string(never_idle) + shutdown_failed, "", 1, {}, true},
    {"forced_shutdown_on_a_stuck_master_writes_but_fails", {{"i2c-isb.stuck-busy"}}, {"dac", "-f"},
     std::string(timeout) + shutdown_failed, "", 1, shutdown_command, true},
    {"disabled_bus_even_forced", {{"i2c-off"}}, {"dac", "-u", "-f"},
     "int main(int, char**): I2C bus is disabled!\n", "", 1, {}, true},
    {"unreadable_status_register", {{"eio-reg", "0x4"}}, {"dac"},
     "bool i2c_bus_enabled(): Unable to read the status register!\nint main(int, char**): I2C bus is disabled!\n",
     eio_read, 1, {}, true},
    {"missing_device_node", {{"dev-missing"}}, {"dac", "-u"}, "fpga_io_init() failed!\n",
     "ERROR#2 at bool fpga_io_init()#103: No such file or directory\n", 1, {}, true},
};

class DacFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(DacFailure, reports_once_sends_no_more_and_sets_the_status)
{
    const Failure& f = GetParam();
    SimCamera sim;
    for (const Args& fault : f.faults)
        sim.fault(fault[0], Args(fault.begin() + 1, fault.end()));
    Result r = sim.run(f.argv);
    EXPECT_TRUE(status_is(r, f.status));
    EXPECT_TRUE(stdout_is(r, f.out));
    EXPECT_TRUE(stderr_is(r, f.err));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), 0x180), f.commands);
    if (f.outputs_unchanged)
        expect_outputs_at_power_on(dacs(sim));
}

INSTANTIATE_TEST_SUITE_P(Dac, DacFailure, ::testing::ValuesIn(failures),
                         [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

}  // namespace
