// The real biasset binary against the simulated camera: proc lines, the DAC
// output that changes, streams, usage and listing, refusals and shell
// failures.
#include "sim_camera.h"

#include "qxsim/model/dac_state.h"

#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_is;
using Lines = std::vector<std::string>;

const char usage_text[] =
    "usage: biasset [options] <reg-name> <value>\n"
    "  -f             --force     Force the I2C transactions.\n"
    "  -l             --list      Displays the list of registers.\n"
    "  -v             --verbose   Display debug messages.\n"
    "  -?             --help      Print usage message and exit\n";

const char listing_text[] =
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

const std::string usage_and_listing = std::string(usage_text) + listing_text;

qxsim::DacState dacs(SimCamera& sim)
{
    auto lock = sim.model().lock();
    return sim.model().state().dac;
}

const qxsim::DacOutputState& output(const qxsim::DacState& d, unsigned i)
{
    return (i < 8 ? d.u12 : d.u14).outputs[i % 8];
}

// Only output `changed` (0..15) differs between the two states.
void expect_only_output_changed(const qxsim::DacState& before, const qxsim::DacState& after, unsigned changed)
{
    for (unsigned i = 0; i < 16; i++) {
        if (i == changed)
            continue;
        EXPECT_EQ(output(after, i).code, output(before, i).code) << "output " << i;
        EXPECT_EQ(output(after, i).input, output(before, i).input) << "output " << i;
        EXPECT_EQ(output(after, i).powered, output(before, i).powered) << "output " << i;
    }
}

Lines proc(SimCamera& sim) { return qxtest::proc_lines(sim.trace()); }

// ---- writes -------------------------------------------------------------

TEST(BiassetWrite, LowerCaseVrefWritesThreeProcLinesAndSetsTheOutput)
{
    SimCamera sim;
    qxsim::DacState before = dacs(sim);
    Result r = sim.run({"biasset", "vref", "300"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, ""));
    EXPECT_EQ(proc(sim), (Lines{"w 0x18c 0x4b00", "w 0x188 0x30", "w 0x180 0x10120"}));

    qxsim::DacState after = dacs(sim);
    EXPECT_EQ(after.u12.outputs[0].code, 300);
    EXPECT_EQ(after.u12.outputs[0].powered, 1);
    expect_only_output_changed(before, after, 0);
}

TEST(BiassetWrite, VlnWritesOutputTwoOfU12NeverItsLongerNamesakes)
{
    SimCamera sim;
    qxsim::DacState before = dacs(sim);
    Result r = sim.run({"biasset", "VLN", "0x89"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_EQ(proc(sim), (Lines{"w 0x18c 0x2240", "w 0x188 0x32", "w 0x180 0x10120"}));
    qxsim::DacState after = dacs(sim);
    EXPECT_EQ(after.u12.outputs[2].code, 0x89);
    expect_only_output_changed(before, after, 2);
}

TEST(BiassetWrite, Vmux2GoesToU14OutputSeven)
{
    SimCamera sim;
    Result r = sim.run({"biasset", "VMUX2", "225"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_EQ(proc(sim), (Lines{"w 0x18c 0x3840", "w 0x188 0x37", "w 0x180 0x11120"}));
    EXPECT_EQ(dacs(sim).u14.outputs[7].code, 225);
}

TEST(BiassetWrite, ChangesExactlyOneOutputOfPoweredUpChips)
{
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"dac", "-u"}), 0));
    sim.clear_trace();
    qxsim::DacState before = dacs(sim);
    Result r = sim.run({"biasset", "vpix", "0x100"});
    EXPECT_TRUE(status_is(r, 0));
    qxsim::DacState after = dacs(sim);
    EXPECT_EQ(before.u14.outputs[3].code, 0x1C2);
    EXPECT_EQ(after.u14.outputs[3].code, 0x100);
    expect_only_output_changed(before, after, 11);
    EXPECT_EQ(after.u14.ref_powered, 1);
}

TEST(BiassetWrite, AcceptsDecimalHexAndOctalUpToTenBits)
{
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"biasset", "VTXL", "0x3FF"}), 0));
    EXPECT_EQ(dacs(sim).u14.outputs[6].code, 0x3FF);
    ASSERT_TRUE(status_is(sim.run({"biasset", "VTXL", "0377"}), 0));
    EXPECT_EQ(dacs(sim).u14.outputs[6].code, 0377);
    ASSERT_TRUE(status_is(sim.run({"biasset", "VTXL", "1023"}), 0));
    EXPECT_EQ(dacs(sim).u14.outputs[6].code, 1023);
    ASSERT_TRUE(status_is(sim.run({"biasset", "VTXL", "0"}), 0));
    EXPECT_EQ(dacs(sim).u14.outputs[6].code, 0);
    Lines lines = proc(sim);
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[0], "w 0x18c 0xffc0");
    EXPECT_EQ(lines[3], "w 0x18c 0x3fc0");
    EXPECT_EQ(lines[9], "w 0x18c 0x0");
}

TEST(BiassetWrite, ForceIsAcceptedAndChangesNothing)
{
    SimCamera sim;
    Result r = sim.run({"biasset", "-f", "VREF", "300"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_EQ(proc(sim), (Lines{"w 0x18c 0x4b00", "w 0x188 0x30", "w 0x180 0x10120"}));
}

TEST(BiassetWrite, VerboseLinesGoToTheirStreams)
{
    SimCamera sim;
    Result r = sim.run({"biasset", "-v", "VPIX", "450"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "11[33] <= 0x7080 [0x01C2 << 6]\n"));
    EXPECT_TRUE(stderr_is(r, "name='VPIX', value=0x01c2\n"
                             "echo \"w 0x18c 0x7080\" > /proc/qx_pci/regs\n"
                             "echo \"w 0x188 0x33\" > /proc/qx_pci/regs\n"
                             "echo \"w 0x180 0x11120\" > /proc/qx_pci/regs\n"));
}

TEST(BiassetWrite, VerboseLinesKeepTheirOrderOnOneStream)
{
    SimCamera sim;
    Result r = sim.shell(qxtest::tool_path("biasset") + " -v vref 300 2>&1");
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "name='VREF', value=0x012c\n"
                             "10[30] <= 0x4B00 [0x012C << 6]\n"
                             "echo \"w 0x18c 0x4b00\" > /proc/qx_pci/regs\n"
                             "echo \"w 0x188 0x30\" > /proc/qx_pci/regs\n"
                             "echo \"w 0x180 0x10120\" > /proc/qx_pci/regs\n"));
}

// ---- usage and listing --------------------------------------------------

TEST(BiassetCommandLine, HelpPrintsUsageAndListingOnStdout)
{
    SimCamera sim;
    Result r = sim.run({"biasset", "--help"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, usage_and_listing));
    EXPECT_TRUE(stderr_is(r, ""));
    EXPECT_TRUE(proc(sim).empty());
}

TEST(BiassetCommandLine, OptionsOfDacAndQuestionMarkDrawDiagnosticThenUsage)
{
    SimCamera sim;
    for (const char* opt : {"-d", "-u", "-?", "--bogus"}) {
        Result r = sim.run({"biasset", opt, "VREF", "300"});
        EXPECT_TRUE(status_is(r, 1)) << opt;
        EXPECT_TRUE(stdout_is(r, usage_and_listing)) << opt;
        EXPECT_NE(r.err.find("option"), std::string::npos) << opt << ": " << r.err;
    }
    EXPECT_TRUE(proc(sim).empty());
}

TEST(BiassetCommandLine, ListPrintsOnlyTheListingAndExits1)
{
    SimCamera sim;
    Result r = sim.run({"biasset", "-l", "VREF", "300"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, listing_text));
    EXPECT_EQ(r.out.size(), 307u);
    EXPECT_TRUE(stderr_is(r, ""));
    // Options after -l are never looked at.
    r = sim.run({"biasset", "--list", "-x"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, listing_text));
    EXPECT_TRUE(stderr_is(r, ""));
    EXPECT_TRUE(proc(sim).empty());
}

TEST(BiassetCommandLine, WrongArgumentCountPrintsLineThenUsage)
{
    SimCamera sim;
    for (const Lines& args : {Lines{"biasset"}, Lines{"biasset", "VREF"}, Lines{"biasset", "VREF", "1", "2"}}) {
        Result r = sim.run(args);
        EXPECT_TRUE(status_is(r, 1)) << args.size();
        EXPECT_TRUE(stderr_is(r, "Need a register name and value to poke!\n")) << args.size();
        EXPECT_TRUE(stdout_is(r, usage_and_listing)) << args.size();
    }
    EXPECT_TRUE(proc(sim).empty());
}

// ---- refusals -----------------------------------------------------------

TEST(BiassetRefusal, UnknownNameIsRefusedAndNothingWritten)
{
    SimCamera sim;
    for (const char* name : {"FOO", "vrefx", "VRE", ""}) {
        Result r = sim.run({"biasset", "-v", name, "300"});
        EXPECT_TRUE(status_is(r, 1)) << name;
        EXPECT_TRUE(stdout_is(r, "")) << name;
        EXPECT_TRUE(stderr_is(r, "Unknown register name '" + std::string(name) + "' (biasset -l lists them)!\n"));
    }
    std::string long_name(200, 'V');
    Result r = sim.run({"biasset", long_name, "1"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(proc(sim).empty());
}

TEST(BiassetRefusal, ValueThatIsNotANumberIsRefused)
{
    SimCamera sim;
    for (const char* value : {"abc", "12x", "", "-1", "08", "0x"}) {
        Result r = sim.run({"biasset", "--", "VREF", value});
        EXPECT_TRUE(status_is(r, 1)) << value;
        EXPECT_TRUE(stdout_is(r, "")) << value;
        EXPECT_TRUE(stderr_is(r, "Value '" + std::string(value) + "' is not a number!\n"));
    }
    EXPECT_TRUE(proc(sim).empty());
    EXPECT_EQ(dacs(sim).u12.outputs[0].code, 0);
}

TEST(BiassetRefusal, ValueAboveTenBitsIsRefusedNotCut)
{
    SimCamera sim;
    for (const char* value : {"0x400", "1024", "65537", "99999999999999999999999"}) {
        Result r = sim.run({"biasset", "VREF", value});
        EXPECT_TRUE(status_is(r, 1)) << value;
        EXPECT_TRUE(stderr_is(r, "Value '" + std::string(value) + "' is above 0x3FF!\n"));
    }
    EXPECT_TRUE(proc(sim).empty());
}

// ---- the proc file ------------------------------------------------------

TEST(BiassetProcFile, MissingProcFileStopsAtTheFirstWrite)
{
    SimCamera sim;
    sim.fault("proc-missing");
    Result r = sim.run({"biasset", "-v", "VREF", "300"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_EQ(r.err.rfind("name='VREF', value=0x012c\necho \"w 0x18c 0x4b00\" > /proc/qx_pci/regs\n", 0), 0u) << r.err;
    // Only the first command ran: the shell's complaint, then ours.
    EXPECT_EQ(r.err.find("echo \"w 0x188"), std::string::npos) << r.err;
    const std::string ours = "Unable to write VREF through /proc/qx_pci/regs!\n";
    ASSERT_GT(r.err.size(), ours.size());
    EXPECT_EQ(r.err.substr(r.err.size() - ours.size()), ours);
    EXPECT_TRUE(proc(sim).empty());
    EXPECT_EQ(dacs(sim).u12.outputs[0].code, 0);
}

TEST(BiassetProcFile, ProcFileNotWritableFailsTheRun)
{
    SimCamera sim;
    sim.fault("proc-denied");
    Result r = sim.run({"biasset", "VREF", "300"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_NE(r.err.find("Unable to write VREF through /proc/qx_pci/regs!\n"), std::string::npos) << r.err;
    EXPECT_TRUE(proc(sim).empty());
}

TEST(BiassetProcFile, FailedSecondWriteNeverSendsTheCommandWord)
{
    SimCamera sim;
    sim.fault("eio-at", {"2"});
    Result r = sim.run({"biasset", "VREF", "300"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_EQ(proc(sim), (Lines{"w 0x18c 0x4b00"}));
    EXPECT_TRUE(qxtest::writes_to(sim.trace(), 0x180).empty());
    EXPECT_EQ(dacs(sim).u12.outputs[0].code, 0);
}

}  // namespace
