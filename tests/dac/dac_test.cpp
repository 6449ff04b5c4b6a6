// The real dac binary against the simulated camera: options, the two
// sequences, the chips' state afterwards, register traffic and every
// failure the camera can produce.
#include "sim_camera.h"

#include "qxsim/model/dac_state.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_is;

const char usage_text[] =
    "usage: dac [options]\n"
    "  -d             --down      Power-down the DACs.\n"
    "  -f             --force     Force the I2C transactions.\n"
    "  -u             --up        Power-up the DACs.\n"
    "  -v             --verbose   Display debug messages.\n"
    "  -?             --help      Print usage message and exit\n";

const char write_never_idle[] = "bool i2c_write(uint8_t, uint8_t, uint16_t): I2C never becomes idle.\n";
const char powerup_failed[] = "void dac_powerup(): I/O error\n";
const char shutdown_failed[] = "void dac_shutdown(): Unable to write shutdown command!\n";
const char error_bit_line[] = "i2c_wait_idle: error bit set: 0x40000000\n";
const char eio_write_line[] = "ERROR#5 at bool fpga_write_reg(uint32_t, uint32_t)#158: Input/output error\n";
const char eio_read_line[] = "ERROR#5 at bool fpga_read_reg(uint32_t, uint32_t*)#200: Input/output error\n";

// The power-up sequence as the chips must receive it.
struct Row {
    uint8_t dev;
    uint8_t reg;
    uint16_t value;
    uint16_t data;
};
const Row powerup_rows[19] = {
    {0x10, 0x60, 0x000, 0x0000}, {0x10, 0x00, 0x12C, 0x4B00}, {0x10, 0x01, 0x0E1, 0x3840},
    {0x10, 0x02, 0x096, 0x2580}, {0x10, 0x03, 0x0E1, 0x3840}, {0x10, 0x04, 0x07D, 0x1F40},
    {0x10, 0x05, 0x038, 0x0E00}, {0x10, 0x06, 0x0ED, 0x3B40}, {0x10, 0x07, 0x15E, 0x5780},
    {0x11, 0x60, 0x000, 0x0000}, {0x11, 0x00, 0x0E1, 0x3840}, {0x11, 0x01, 0x0AF, 0x2BC0},
    {0x11, 0x02, 0x04B, 0x12C0}, {0x11, 0x03, 0x1C2, 0x7080}, {0x11, 0x04, 0x338, 0xCE00},
    {0x11, 0x05, 0x338, 0xCE00}, {0x11, 0x06, 0x000, 0x0000}, {0x11, 0x07, 0x0E1, 0x3840},
    {0x73, 0x1F, 0x000, 0x0000},
};

// Register accesses of a run before row N's command word (1-based): the
// FPGA_STATUS read, then per row one status read (idle master) and the
// data, register and command writes.
unsigned command_access_of_row(unsigned row) { return 1 + 4 * row; }

qxsim::DacState dacs(SimCamera& sim)
{
    auto lock = sim.model().lock();
    return sim.model().state().dac;
}

const qxsim::DacOutputState& output(const qxsim::DacState& d, unsigned i)
{
    return (i < 8 ? d.u12 : d.u14).outputs[i % 8];
}

std::vector<uint32_t> commands(const std::vector<qxtest::TraceRecord>& t) { return qxtest::writes_to(t, 0x180); }

std::vector<uint32_t> powerup_commands(unsigned rows)
{
    std::vector<uint32_t> v;
    for (unsigned i = 0; i < rows; i++)
        v.push_back((uint32_t(powerup_rows[i].dev) << 12) | 0x120);
    return v;
}

void expect_outputs_at_power_on(const qxsim::DacState& d)
{
    for (unsigned i = 0; i < 16; i++) {
        EXPECT_EQ(output(d, i).code, 0) << "output " << i;
        EXPECT_EQ(output(d, i).powered, 1) << "output " << i;
    }
}

void power_up(SimCamera& sim)
{
    Result r = sim.run({"dac", "-u"});
    ASSERT_TRUE(status_is(r, 0));
    sim.clear_trace();
}

// ---- command line -------------------------------------------------------

TEST(DacCommandLine, HelpPrintsUsageOnStderrAndTouchesNothing)
{
    SimCamera sim;
    Result r = sim.run({"dac", "--help"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, usage_text));
    EXPECT_EQ(r.err.size(), 287u);
    EXPECT_TRUE(qxtest::register_traffic(sim.trace()).empty());
}

TEST(DacCommandLine, UnknownOptionAndQuestionMarkDrawGetoptDiagnosticThenUsage)
{
    SimCamera sim;
    for (const char* opt : {"-x", "-?", "--bogus"}) {
        Result r = sim.run({"dac", opt});
        EXPECT_TRUE(status_is(r, 1)) << opt;
        EXPECT_TRUE(stdout_is(r, "")) << opt;
        ASSERT_GT(r.err.size(), sizeof usage_text - 1) << opt;
        EXPECT_EQ(r.err.substr(r.err.size() - (sizeof usage_text - 1)), usage_text) << opt;
        EXPECT_NE(r.err.find("option"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(qxtest::register_traffic(sim.trace()).empty());
}

TEST(DacCommandLine, LastOfDownAndUpDecides)
{
    SimCamera sim;
    Result r = sim.run({"dac", "-d", "-u"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_EQ(commands(sim.trace()), powerup_commands(19));

    sim.clear_trace();
    r = sim.run({"dac", "--up", "--down"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_EQ(commands(sim.trace()), std::vector<uint32_t>{0x73120});
}

TEST(DacCommandLine, ExtraArgumentsChangeNothing)
{
    SimCamera sim;
    Result r = sim.run({"dac", "-u", "extra", "0x10"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_EQ(commands(sim.trace()), powerup_commands(19));
}

TEST(DacCommandLine, MissingDeviceNodeFailsBeforeAnyAccess)
{
    SimCamera sim;
    sim.fault("dev-missing");
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, "ERROR#2 at bool fpga_io_init()#103: No such file or directory\n"));
    EXPECT_TRUE(stdout_is(r, "fpga_io_init() failed!\n"));
    EXPECT_TRUE(qxtest::register_traffic(sim.trace()).empty());
}

// ---- shutdown -----------------------------------------------------------

TEST(DacShutdown, NoOptionsSendsOnlyTheGlobalShutdownQuietly)
{
    SimCamera sim;
    power_up(sim);
    Result r = sim.run({"dac"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, ""));

    auto t = sim.trace();
    EXPECT_EQ(commands(t), std::vector<uint32_t>{0x73120});
    EXPECT_EQ(qxtest::writes_to(t, 0x188), std::vector<uint32_t>{0x5F});
    EXPECT_EQ(qxtest::writes_to(t, 0x18C), std::vector<uint32_t>{0x0});
    EXPECT_EQ(qxtest::reads_of(t, 0x4), 1u);
    // One wait before the write, one to confirm it.
    EXPECT_EQ(qxtest::reads_of(t, 0x184), 2u);
}

TEST(DacShutdown, PowersBothChipsDownAndKeepsTheirCodes)
{
    SimCamera sim;
    power_up(sim);
    ASSERT_TRUE(status_is(sim.run({"dac", "-d"}), 0));
    qxsim::DacState d = dacs(sim);
    for (unsigned i = 0; i < 16; i++) {
        EXPECT_EQ(output(d, i).powered, 0) << "output " << i;
        EXPECT_EQ(output(d, i).code, powerup_rows[i < 8 ? i + 1 : i + 2].value) << "output " << i;
    }
    EXPECT_EQ(d.u12.ref_powered, 0);
    EXPECT_EQ(d.u14.ref_powered, 0);
}

TEST(DacShutdown, VerboseShowsTheWriteAndCompletion)
{
    SimCamera sim;
    Result r = sim.run({"dac", "-d", "-v"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "i2c_write: reg_addr=0x5F reg_data=0x00\n"
                             "void dac_shutdown(): Shutdown complete.\n"));
    EXPECT_TRUE(stderr_is(r, ""));
}

TEST(DacShutdown, NotAcknowledgedByEitherChipFailsWithExit1)
{
    SimCamera sim;
    sim.fault("i2c-isb.0x10.nak");
    sim.fault("i2c-isb.0x11.nak");
    Result r = sim.run({"dac", "-v"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, std::string("i2c_write: reg_addr=0x5F reg_data=0x00\n") + error_bit_line + shutdown_failed));
    expect_outputs_at_power_on(dacs(sim));
}

TEST(DacShutdown, AcknowledgedByOneChipIsGoodForThatChip)
{
    SimCamera sim;
    sim.fault("i2c-isb.0x11.nak");
    Result r = sim.run({"dac"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    qxsim::DacState d = dacs(sim);
    EXPECT_EQ(d.u12.outputs[0].powered, 0);
    EXPECT_EQ(d.u14.outputs[0].powered, 1);
}

TEST(DacShutdown, FailedCommandWriteFailsWithExit1)
{
    SimCamera sim;
    sim.fault("eio-reg", {"0x180"});
    Result r = sim.run({"dac", "-v"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, eio_write_line));
    EXPECT_TRUE(stdout_is(r, std::string("i2c_write: reg_addr=0x5F reg_data=0x00\n") + shutdown_failed));
}

TEST(DacShutdown, BusyMasterFailsWithoutTimeoutLine)
{
    SimCamera sim;
    sim.fault("i2c-isb.stuck-busy");
    Result r = sim.run({"dac", "-d"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, std::string(write_never_idle) + shutdown_failed));
    auto t = sim.trace();
    EXPECT_EQ(qxtest::reads_of(t, 0x184), 100u);
    EXPECT_TRUE(commands(t).empty());
}

// ---- power-up -----------------------------------------------------------

TEST(DacPowerup, SendsNineteenRowsInTableOrder)
{
    SimCamera sim;
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, ""));

    auto t = sim.trace();
    std::vector<uint32_t> regs, data;
    for (const Row& row : powerup_rows) {
        regs.push_back(row.reg);
        data.push_back(row.data);
    }
    EXPECT_EQ(commands(t), powerup_commands(19));
    EXPECT_EQ(qxtest::writes_to(t, 0x188), regs);
    EXPECT_EQ(qxtest::writes_to(t, 0x18C), data);
    // Nineteen waits before the writes and one confirming the last.
    EXPECT_EQ(qxtest::reads_of(t, 0x184), 20u);
}

TEST(DacPowerup, LeavesEveryOutputAtItsPowerupValueAndPowered)
{
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"dac", "-d"}), 0));
    ASSERT_TRUE(status_is(sim.run({"dac", "-u"}), 0));
    qxsim::DacState d = dacs(sim);
    for (unsigned i = 0; i < 16; i++) {
        const Row& row = powerup_rows[i < 8 ? i + 1 : i + 2];
        EXPECT_EQ(output(d, i).code, row.value) << "output " << i;
        EXPECT_EQ(output(d, i).input, row.value) << "output " << i;
        EXPECT_EQ(output(d, i).powered, 1) << "output " << i;
    }
    EXPECT_EQ(d.u12.ref_internal, 1);
    EXPECT_EQ(d.u12.ref_powered, 1);
    EXPECT_EQ(d.u14.ref_internal, 1);
    EXPECT_EQ(d.u14.ref_powered, 1);
}

TEST(DacPowerup, VerbosePrintsEachTableLineBeforeItsWrite)
{
    SimCamera sim;
    Result r = sim.run({"dac", "-u", "-v"});
    EXPECT_TRUE(status_is(r, 0));
    std::string expected;
    char line[80];
    for (const Row& row : powerup_rows) {
        snprintf(line, sizeof line, "%02X[%02X] <= 0x%04X [0x%04X << 6]\n", row.dev, row.reg, row.data, row.value);
        expected += line;
        snprintf(line, sizeof line, "i2c_write: reg_addr=0x%02X reg_data=0x%02X\n", row.reg, row.data);
        expected += line;
    }
    EXPECT_TRUE(stdout_is(r, expected));
    EXPECT_EQ(r.out.rfind("10[60] <= 0x0000 [0x0000 << 6]\n", 0), 0u);
    EXPECT_NE(r.out.find("10[00] <= 0x4B00 [0x012C << 6]\ni2c_write: reg_addr=0x00 reg_data=0x4B00\n"),
              std::string::npos);
    EXPECT_TRUE(stderr_is(r, ""));
}

// ---- power-up failures --------------------------------------------------

TEST(DacPowerupFault, NakAtRow18StopsBeforeTheUpdateAndNoOutputMoves)
{
    SimCamera sim;
    sim.fault("i2c-isb.0x11.nak", {"9"});  // U14's ninth write is row 18
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, std::string(error_bit_line) + write_never_idle + powerup_failed));
    EXPECT_EQ(commands(sim.trace()), powerup_commands(18));

    qxsim::DacState d = dacs(sim);
    expect_outputs_at_power_on(d);
    EXPECT_EQ(d.u12.outputs[7].input, 0x15E);
    EXPECT_EQ(d.u14.outputs[6].input, 0);
    EXPECT_EQ(d.u14.outputs[5].input, 0x338);
    EXPECT_EQ(d.u14.outputs[7].input, 0);
}

TEST(DacPowerupFault, PowerCutBeforeTheUpdateLeavesOutputsUnchanged)
{
    SimCamera sim;
    sim.fault("power-cut", {std::to_string(command_access_of_row(19))});
    Result r = sim.run({"dac", "-u"});
    EXPECT_EQ(r.signal, 9);
    EXPECT_EQ(commands(sim.trace()), powerup_commands(18));

    qxsim::DacState d = dacs(sim);
    expect_outputs_at_power_on(d);
    for (unsigned i = 0; i < 16; i++)
        EXPECT_EQ(output(d, i).input, powerup_rows[i < 8 ? i + 1 : i + 2].value) << "output " << i;
}

TEST(DacPowerupFault, UpdateNotAcknowledgedIsCaughtByTheConfirmingWait)
{
    SimCamera sim;
    // Each chip's tenth write is the global update.
    sim.fault("i2c-isb.0x10.nak", {"10"});
    sim.fault("i2c-isb.0x11.nak", {"10"});
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, std::string(error_bit_line) + powerup_failed));
    EXPECT_EQ(commands(sim.trace()), powerup_commands(19));
    expect_outputs_at_power_on(dacs(sim));
}

TEST(DacPowerupFault, FailedThirdCommandWriteStopsTheSequence)
{
    SimCamera sim;
    sim.fault("eio-at", {std::to_string(command_access_of_row(3))});
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, eio_write_line));
    EXPECT_TRUE(stdout_is(r, powerup_failed));
    auto t = sim.trace();
    EXPECT_EQ(commands(t), powerup_commands(2));
    EXPECT_EQ(qxtest::writes_to(t, 0x188), (std::vector<uint32_t>{0x60, 0x00, 0x01}));
    EXPECT_EQ(dacs(sim).u12.outputs[1].input, 0);
}

TEST(DacPowerupFault, FailedDataWordWriteReportsIt)
{
    SimCamera sim;
    sim.fault("eio-at", {std::to_string(command_access_of_row(3) - 2)});
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, eio_write_line));
    EXPECT_TRUE(stdout_is(r, "bool i2c_write(uint8_t, uint8_t, uint16_t): Unable to write data word!\n" +
                                 std::string(powerup_failed)));
    EXPECT_EQ(commands(sim.trace()), powerup_commands(2));
}

TEST(DacPowerupFault, UnreadableMasterStatusTimesOut)
{
    SimCamera sim;
    sim.fault("eio-at", {std::to_string(command_access_of_row(3) - 3)});
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, eio_read_line));
    EXPECT_TRUE(stdout_is(r, "i2c_wait_idle: timeout: 0x80000000\n" + std::string(write_never_idle) + powerup_failed));
    EXPECT_EQ(commands(sim.trace()), powerup_commands(2));
}

TEST(DacPowerupFault, StuckBusyMasterSendsNothing)
{
    SimCamera sim;
    sim.fault("i2c-isb.stuck-busy");
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, std::string(write_never_idle) + powerup_failed));
    auto t = sim.trace();
    EXPECT_EQ(qxtest::reads_of(t, 0x184), 100u);
    EXPECT_TRUE(qxtest::writes_to(t, 0x18C).empty());
    expect_outputs_at_power_on(dacs(sim));
}

TEST(DacPowerupFault, MasterSlowToFinishIsWaitedFor)
{
    SimCamera sim;
    sim.fault("i2c-isb.busy", {"3"});
    Result r = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_EQ(dacs(sim).u14.outputs[7].code, 0x0E1);
}

// ---- bus check ----------------------------------------------------------

TEST(DacBusCheck, DisabledBusMeansNoTransactionEvenForced)
{
    SimCamera sim;
    sim.fault("i2c-off");
    Result r = sim.run({"dac", "-u", "-f"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, "int main(int, char**): I2C bus is disabled!\n"));
    EXPECT_TRUE(stderr_is(r, ""));
    auto t = sim.trace();
    // FPGA_STATUS is read once; not a single master register is touched.
    std::vector<std::string> traffic = qxtest::traffic_summary(t);
    ASSERT_EQ(traffic.size(), 1u);
    EXPECT_EQ(traffic[0].rfind("R 0x4 ", 0), 0u) << traffic[0];
    bool closed = false;
    for (const auto& rec : t)
        closed = closed || rec.kind == 'C';
    EXPECT_TRUE(closed);
}

TEST(DacBusCheck, UnreadableStatusRegisterCountsAsDisabled)
{
    SimCamera sim;
    sim.fault("eio-reg", {"0x4"});
    Result r = sim.run({"dac"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, eio_read_line));
    EXPECT_TRUE(stdout_is(r, "bool i2c_bus_enabled(): Unable to read the status register!\n"
                             "int main(int, char**): I2C bus is disabled!\n"));
    EXPECT_TRUE(commands(sim.trace()).empty());
}

// ---- force --------------------------------------------------------------

TEST(DacForce, NakAtRow18IsReportedAndTheUpdateStillGoesOut)
{
    SimCamera sim;
    sim.fault("i2c-isb.0x11.nak", {"9"});
    Result r = sim.run({"dac", "-u", "-f"});
    // U12 acknowledges the global update, so the last write succeeds.
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, error_bit_line));
    EXPECT_EQ(commands(sim.trace()), powerup_commands(19));
    qxsim::DacState d = dacs(sim);
    EXPECT_EQ(d.u12.outputs[0].code, 0x12C);
    EXPECT_EQ(d.u14.outputs[0].code, 0);
}

TEST(DacForce, StuckBusyMasterWritesAnywayButTheRunFails)
{
    SimCamera sim;
    sim.fault("i2c-isb.stuck-busy");
    Result r = sim.run({"dac", "-f"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, "i2c_wait_idle: timeout: 0x80000000\n"
                             "i2c_wait_idle: timeout: 0x80000000\n" +
                                 std::string(shutdown_failed)));
    EXPECT_EQ(commands(sim.trace()), std::vector<uint32_t>{0x73120});
}

}  // namespace
