// The real biasset binary against the simulated camera: proc lines, the one
// DAC output that changes, streams, usage and listing, refusals and shell
// failures.
#include "sim_camera.h"

#include "qxsim/model/devices/dac_state.h"

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
Lines proc(SimCamera& sim) { return qxtest::proc_lines(sim.trace()); }

struct Write {
    Lines argv;
    Lines lines;      // proc lines, in order
    unsigned output;  // 0..15, VREF..VMUX2
    uint16_t code;
};

const Write writes[] = {
    {{"biasset", "vref", "300"}, {"w 0x18c 0x4b00", "w 0x188 0x30", "w 0x180 0x10120"}, 0, 300},
    {{"biasset", "-f", "VREF", "300"}, {"w 0x18c 0x4b00", "w 0x188 0x30", "w 0x180 0x10120"}, 0, 300},
    {{"biasset", "VLN", "0x89"}, {"w 0x18c 0x2240", "w 0x188 0x32", "w 0x180 0x10120"}, 2, 0x89},
    {{"biasset", "VMUX2", "225"}, {"w 0x18c 0x3840", "w 0x188 0x37", "w 0x180 0x11120"}, 15, 225},
    {{"biasset", "VTXL", "0x3FF"}, {"w 0x18c 0xffc0", "w 0x188 0x36", "w 0x180 0x11120"}, 14, 0x3FF},
    {{"biasset", "vpix", "0377"}, {"w 0x18c 0x3fc0", "w 0x188 0x33", "w 0x180 0x11120"}, 11, 0377},
};

// Each write, on chips fresh from power-on and after dac -u, changes the
// named output and nothing else.
TEST(Biasset, writes_one_named_output_through_three_proc_lines)
{
    for (bool powered_up : {false, true}) {
        for (const Write& w : writes) {
            SCOPED_TRACE(w.argv[1] + " " + w.argv.back() + (powered_up ? " after dac -u" : ""));
            SimCamera sim;
            if (powered_up) {
                ASSERT_TRUE(status_is(sim.run({"dac", "-u"}), 0));
                sim.clear_trace();
            }
            qxsim::DacState before = dacs(sim);
            Result r = sim.run(w.argv);
            EXPECT_TRUE(status_is(r, 0));
            EXPECT_TRUE(stdout_is(r, ""));
            EXPECT_TRUE(stderr_is(r, ""));
            EXPECT_EQ(proc(sim), w.lines);
            qxsim::DacState after = dacs(sim);
            for (unsigned i = 0; i < 16; i++) {
                const auto& o = output(after, i);
                const auto& b = output(before, i);
                EXPECT_EQ(o.code, i == w.output ? w.code : b.code) << "output " << i;
                EXPECT_EQ(o.powered, i == w.output ? 1 : b.powered) << "output " << i;
            }
        }
    }
}

TEST(Biasset, verbose_lines_go_to_their_streams_in_order)
{
    SimCamera sim;
    Result r = sim.run({"biasset", "-v", "VPIX", "450"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "11[33] <= 0x7080 [0x01C2 << 6]\n"));
    EXPECT_TRUE(stderr_is(r, "name='VPIX', value=0x01c2\n"
                             "echo \"w 0x18c 0x7080\" > /proc/qx_pci/regs\n"
                             "echo \"w 0x188 0x33\" > /proc/qx_pci/regs\n"
                             "echo \"w 0x180 0x11120\" > /proc/qx_pci/regs\n"));
    r = sim.shell(qxtest::tool_path("biasset") + " -v vref 300 2>&1");
    EXPECT_TRUE(stdout_is(r, "name='VREF', value=0x012c\n"
                             "10[30] <= 0x4B00 [0x012C << 6]\n"
                             "echo \"w 0x18c 0x4b00\" > /proc/qx_pci/regs\n"
                             "echo \"w 0x188 0x30\" > /proc/qx_pci/regs\n"
                             "echo \"w 0x180 0x10120\" > /proc/qx_pci/regs\n"));
}

// Runs that end with status 1 and write nothing.
struct Refusal {
    Lines argv;
    std::string out;
    std::string err;  // exact, or with a leading '~' a text the diagnostic contains
};

const std::string need_two = "Need a register name and value to poke!\n";
const std::string long_name(200, 'V');

const Refusal refusals[] = {
    {{"biasset", "--help"}, usage_and_listing, ""},
    {{"biasset", "-?", "VREF", "300"}, usage_and_listing, "~invalid option"},
    {{"biasset", "-d", "VREF", "300"}, usage_and_listing, "~invalid option"},
    {{"biasset", "-u", "VREF", "300"}, usage_and_listing, "~invalid option"},
    {{"biasset", "-l", "VREF", "300"}, listing_text, ""},
    {{"biasset", "--list", "-x"}, listing_text, ""},
    {{"biasset"}, usage_and_listing, need_two},
    {{"biasset", "VREF"}, usage_and_listing, need_two},
    {{"biasset", "VREF", "1", "2"}, usage_and_listing, need_two},
    {{"biasset", "-v", "FOO", "1"}, "", "Unknown register name 'FOO' (biasset -l lists them)!\n"},
    {{"biasset", "vrefx", "1"}, "", "Unknown register name 'vrefx' (biasset -l lists them)!\n"},
    {{"biasset", "", "1"}, "", "Unknown register name '' (biasset -l lists them)!\n"},
    {{"biasset", long_name, "1"}, "", "Unknown register name '" + long_name + "' (biasset -l lists them)!\n"},
    {{"biasset", "VREF", "abc"}, "", "Value 'abc' is not a number!\n"},
    {{"biasset", "VREF", "12x"}, "", "Value '12x' is not a number!\n"},
    {{"biasset", "VREF", ""}, "", "Value '' is not a number!\n"},
    {{"biasset", "VREF", "08"}, "", "Value '08' is not a number!\n"},
    {{"biasset", "--", "VREF", "-1"}, "", "Value '-1' is not a number!\n"},
    {{"biasset", "VREF", "0x400"}, "", "Value '0x400' is above 0x3FF!\n"},
    {{"biasset", "VREF", "65537"}, "", "Value '65537' is above 0x3FF!\n"},
    {{"biasset", "VREF", "99999999999999999999999"}, "", "Value '99999999999999999999999' is above 0x3FF!\n"},
};

TEST(Biasset, usage_listing_and_bad_arguments_exit_1_without_writing)
{
    SimCamera sim;
    for (const Refusal& f : refusals) {
        SCOPED_TRACE(f.argv.size() > 1 ? f.argv[1] + " " + f.argv.back() : "no arguments");
        Result r = sim.run(f.argv);
        EXPECT_TRUE(status_is(r, 1));
        EXPECT_TRUE(stdout_is(r, f.out));
        if (!f.err.empty() && f.err[0] == '~')
            EXPECT_TRUE(qxtest::stderr_contains(r, f.err.substr(1)));
        else
            EXPECT_TRUE(stderr_is(r, f.err));
    }
    EXPECT_EQ(sizeof listing_text - 1, 307u);
    EXPECT_TRUE(proc(sim).empty());
}

TEST(Biasset, shell_write_failure_ends_the_run_before_the_command_word)
{
    const std::string ours = "Unable to write VREF through /proc/qx_pci/regs!\n";
    for (const char* fault : {"proc-missing", "proc-denied"}) {
        SCOPED_TRACE(fault);
        SimCamera sim;
        sim.fault(fault);
        Result r = sim.run({"biasset", "-v", "VREF", "300"});
        EXPECT_TRUE(status_is(r, 1));
        // The first command, the shell's complaint, then ours; no second command.
        EXPECT_EQ(r.err.rfind("name='VREF', value=0x012c\necho \"w 0x18c 0x4b00\" > /proc/qx_pci/regs\nsh: ", 0), 0u)
            << r.err;
        EXPECT_EQ(r.err.find("0x188"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - ours.size()), ours);
        EXPECT_EQ(dacs(sim).u12.outputs[0].code, 0);
    }

    SimCamera sim;
    sim.fault("eio-at", {"2"});
    Result r = sim.run({"biasset", "VREF", "300"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_EQ(proc(sim), Lines{"w 0x18c 0x4b00"});
    EXPECT_TRUE(qxtest::writes_to(sim.trace(), 0x180).empty());
}

}  // namespace
