// The front end: create, show, faults, settings, peek/poke, run; exit
// statuses and messages.
#include "reg_client.h"

#include "qxsim/model/fpga/register_map.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

using qxtest::contains;

TEST(Cli, create_chooses_the_sensor_and_refuses_to_overwrite)
{
    SimCamera sim;
    Result r = sim.cli({"create", "--sensor", "lux19hs-m"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(qxtest::stderr_contains(r, "already exists"));
    r = sim.cli({"create", "--sensor", "lux19hs-m", "--force"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "camera created in " + sim.dir() + ", sensor code 0x5839484d (LUX19HS-M)\n"));
    r = sim.cli({"create", "--sensor-code", "XH9C", "--force"});
    EXPECT_TRUE(qxtest::stdout_contains(r, "0x43394858 (unknown)"));
    EXPECT_TRUE(status_is(sim.cli({"create", "--sensor", "LUX99", "--force"}), 1));
}

TEST(Cli, commands_on_a_missing_camera_say_how_to_make_one)
{
    SimCamera sim;
    Result r = sim.run({qxtest::qxsim_path(), "--state", sim.dir() + "/none", "show"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(qxtest::stderr_contains(r, "create"));
}

TEST(Cli, usage_errors_exit_with_status_2)
{
    SimCamera sim;
    EXPECT_TRUE(status_is(sim.cli({}), 2));
    EXPECT_TRUE(status_is(sim.cli({"frobnicate"}), 2));
    EXPECT_TRUE(status_is(sim.cli({"trace", "sideways"}), 2));
    EXPECT_TRUE(status_is(sim.cli({"run"}), 2));
    EXPECT_TRUE(status_is(sim.cli({"sweep"}), 2));
    EXPECT_TRUE(status_is(sim.cli({"sweep", "power-cut", "--"}), 2));
    EXPECT_TRUE(status_is(sim.cli({"sweep", "power-cut", "--sample", "0", "--", "update", "x"}), 2));
    EXPECT_TRUE(status_is(sim.cli({"sweep", "power-cut", "--kill", "--torn", "--", "update", "x"}), 2));
}

TEST(Cli, show_has_every_block_and_bus_device)
{
    SimCamera sim;
    Result r = sim.cli({"show"});
    EXPECT_TRUE(status_is(r, 0));
    for (const char* part : {"FPGA: id 0x51580201, status 0x00000011 (I2C bus enabled)", "I2C master i2c-main at 0x160",
                             "I2C master i2c-isb at 0x180", "I2C master i2c-iob at 0x1a0",
                             "0x50 identification memory: sensor code 0x58334843 \"CH3X\" (LUX13HS-C)",
                             "0x48 temp-sensor: 16-bit", "0x3c iob-controller: 32-bit", "Unmodelled registers: 0",
                             "Access faults set: none",
                             // each block's registers by name, under its heading
                             "(I2C bus enabled)\n  registers: FPGA_ID 0x51580201, FPGA_STATUS 0x11\n",
                             "  registers: MAIN_I2C_CONTROL 0x0, MAIN_I2C_REG_ADDR 0x0, MAIN_I2C_WR_DATA 0x0, MAIN_I2C_RD_DATA 0x0\n",
                             "(0x8210..0x821c, 0x8170)\n  registers: CHL_MASK_BL 0x0, CHL_MASK_BR 0x0, CHL_MASK_TL 0x0, "
                             "CHL_MASK_TR 0x0, CLPOUT_CTRL 0x0\n",
                             "configuration\n  registers: ASMI_CMD 0x0, ASMI_ADDR 0x0, ASMI_LENGTH 0x0, ASMI_PROTECT_CODE 0x0\n"})
        EXPECT_TRUE(contains(r.out, part)) << part << "\n" << r.out;
}

TEST(Cli, fault_set_and_clear_reach_blocks_devices_and_the_driver)
{
    SimCamera sim;
    EXPECT_TRUE(status_is(sim.cli({"fault", "set", "i2c-isb.busy", "2"}), 0));
    EXPECT_TRUE(status_is(sim.cli({"fault", "set", "i2c-isb.0x50.nak", "6"}), 0));
    EXPECT_TRUE(status_is(sim.cli({"fault", "set", "eio-reg", "0x4"}), 0));
    std::string shown = sim.cli({"show"}).out;
    EXPECT_TRUE(contains(shown, "fault busy 2: set")) << shown;
    EXPECT_TRUE(contains(shown, "fault nak 0x06: set")) << shown;
    EXPECT_TRUE(contains(shown, "Access faults set: eio-reg 0x4")) << shown;
    Result bad = sim.cli({"fault", "set", "i2c-isb.0x52.nak"});
    EXPECT_TRUE(status_is(bad, 1));
    EXPECT_TRUE(qxtest::stderr_contains(bad, "no device at 0x52 on i2c-isb"));
    EXPECT_TRUE(status_is(sim.cli({"fault", "clear", "i2c-isb"}), 0));
    shown = sim.cli({"show"}).out;
    EXPECT_FALSE(contains(shown, "fault busy 2")) << shown;
    EXPECT_TRUE(contains(shown, "fault nak 0x06")) << "the device keeps its own fault";
    EXPECT_TRUE(status_is(sim.cli({"fault", "clear"}), 0));
    shown = sim.cli({"show"}).out;
    EXPECT_FALSE(contains(shown, "fault nak 0x06")) << shown;
    EXPECT_TRUE(contains(shown, "Access faults set: none")) << shown;
    Result list = sim.cli({"fault", "list"});
    EXPECT_TRUE(qxtest::stdout_contains(list, "power-cut N"));
    EXPECT_TRUE(qxtest::stdout_contains(list, "i2c-iob.0x3c.nak [REG]"));
}

// Scripts and the manual name these faults: the list changes only with a
// fault added (or respelt, the older spelling still taken: see below).
const char fault_list[] =
    "eio-reg REG [read|write]  every access to register REG fails with EIO\n"
    "eio-at N  the Nth register access from now fails with EIO\n"
    "eio-from N  the Nth register access from now and all after it fail with EIO\n"
    "power-cut N  the power fails before the Nth register access from now: its process is killed (SIGKILL), the camera stays off until power-cycle\n"
    "kill-at N [SIGNAL]  the process making the Nth register access from now is sent SIGNAL (default KILL: killed before the access is applied; another signal arrives as the access returns); the camera stays powered\n"
    "open-error dev|proc ENOENT|EACCES  opening /dev/qx_fpga (dev) or /proc/qx_pci/regs (proc) fails with ENOENT "
    "or EACCES\n"
    "i2c-off  FPGA_STATUS shows the I2C bus disabled\n"
    "i2c-main.stuck-busy  status shows busy forever; commands are dropped\n"
    "i2c-main.busy K  every transaction shows busy for K status reads\n"
    "i2c-main.error [next|always]  the next (or every) transaction ends with the error bit\n"
    "i2c-main.0x20.nak [REG]  acknowledge nothing (or not register REG)\n"
    "i2c-main.0x48.nak [REG]  acknowledge nothing (or not register REG)\n"
    "i2c-isb.stuck-busy  status shows busy forever; commands are dropped\n"
    "i2c-isb.busy K  every transaction shows busy for K status reads\n"
    "i2c-isb.error [next|always]  the next (or every) transaction ends with the error bit\n"
    "i2c-isb.0x50.nak [REG]  acknowledge nothing (or not register REG)\n"
    "i2c-isb.0x10.nak-from [N]  no acknowledge from the Nth write on (default: the next write)\n"
    "i2c-isb.0x11.nak-from [N]  no acknowledge from the Nth write on (default: the next write)\n"
    "i2c-iob.stuck-busy  status shows busy forever; commands are dropped\n"
    "i2c-iob.busy K  every transaction shows busy for K status reads\n"
    "i2c-iob.error [next|always]  the next (or every) transaction ends with the error bit\n"
    "i2c-iob.0x3c.nak [REG]  acknowledge nothing (or not register REG)\n"
    "i2c-iob.0x21.nak [REG]  acknowledge nothing (or not register REG)\n"
    "asmi.stuck-busy  the controller's busy bit never clears\n"
    "asmi.busy K  after each command the next K status reads show busy\n"
    "asmi.corrupt-read ADDR [XOR]  the word read back for ADDR is XORed with XOR (default 0x1)\n"
    "asmi.fifo-level wr|rd DELTA [N]  the FIFO level reads DELTA off (only the Nth read, if given)\n"
    "asmi.device-id ID  READ ID reports ID\n"
    "asmi.erase-error ADDR  erasing the sector that holds ADDR fails (erase error bit)\n"
    "asmi.write-error ADDR  programming the page that holds ADDR fails (write error bit)\n"
    "asmi.torn-program N BYTES  power cut in the Nth page program: only its first BYTES bytes\n"
    "asmi.torn-erase N BYTES  power cut in the Nth sector erase: only its first BYTES bytes\n";

TEST(Cli, fault_list_names_every_fault_of_every_block_and_device)
{
    SimCamera sim;
    EXPECT_TRUE(stdout_is(sim.cli({"fault", "list"}), fault_list));
}

// Each fault of a block or device clears on its own; its neighbours stay.
// Older spellings set and clear the faults they stand for.
TEST(Cli, fault_clear_of_one_named_fault_leaves_the_others_set)
{
    SimCamera sim;
    struct Case {
        const char* fault;
        std::vector<std::string> args;
        const char* shown;  // in `show` while set
    };
    const Case cases[] = {
        {"i2c-isb.busy", {"2"}, "fault busy 2: set"},
        {"i2c-isb.error", {"always"}, "fault error always: set"},
        {"i2c-isb.0x50.nak", {"6"}, "fault nak 0x06: set"},
        {"i2c-isb.0x10.nak", {"3"}, "fault nak-from 3: set"},
        {"asmi.busy-reads", {"4"}, "fault busy 4: set"},
        {"asmi.erase-error", {"0x2000000"}, "fault erase-error 0x02000000: set, fired 0 time(s)"},
        {"eio-reg", {"asmi_status", "read"}, "Access faults set: eio-reg 0x1004 read"},
        {"dev-denied", {}, "open-error dev EACCES"},
        {"proc-missing", {}, "open-error proc ENOENT"},
    };
    for (const Case& c : cases)
        sim.fault(c.fault, c.args);
    for (size_t i = 0; i < std::size(cases); i++) {
        EXPECT_TRUE(status_is(sim.cli({"fault", "clear", cases[i].fault}), 0)) << cases[i].fault;
        std::string shown = sim.show();
        for (size_t j = 0; j < std::size(cases); j++)
            EXPECT_EQ(contains(shown, cases[j].shown), j > i) << "after clearing " << cases[i].fault << ": "
                                                              << cases[j].shown << "\n" << shown;
    }
    // Unknown names are refused with the block or device named.
    Result r = sim.cli({"fault", "clear", "i2c-isb.stuck"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(qxtest::stderr_contains(r, "unknown fault 'stuck' of i2c-isb"));
    r = sim.cli({"fault", "set", "asmi.torn", "1", "2"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(qxtest::stderr_contains(r, "unknown fault 'torn' of asmi"));
    r = sim.cli({"fault", "set", "i2c-isb.0x50.busy"});
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(qxtest::stderr_contains(r, "unknown fault 'busy' of the identification memory"));
    r = sim.cli({"fault", "set", "i2c-isb.busy", "0"});
    EXPECT_TRUE(qxtest::stderr_contains(r, "busy takes the number of status reads (1 or more)"));
}

TEST(Cli, set_changes_sensor_bus_enable_and_devices)
{
    SimCamera sim;
    EXPECT_TRUE(status_is(sim.cli({"set", "sensor", "LINCE5M"}), 0));
    EXPECT_TRUE(status_is(sim.cli({"set", "i2c-bus", "off"}), 0));
    EXPECT_EQ(sim.peek(0x4) & 0x10, 0u);
    EXPECT_TRUE(status_is(sim.cli({"set", "i2c-bus", "on"}), 0));
    EXPECT_TRUE(status_is(sim.cli({"set", "device", "isb", "0x2a", "32", "probe"}), 0));
    EXPECT_TRUE(status_is(sim.cli({"set", "device-reg", "isb", "0x2a", "3", "0xcafef00d"}), 0));
    EXPECT_TRUE(status_is(sim.cli({"set", "device", "isb", "0x2b", "12"}), 1));
    EXPECT_TRUE(status_is(sim.cli({"set", "device-reg", "isb", "0x2b", "3", "1"}), 1));
    std::string shown = sim.cli({"show"}).out;
    EXPECT_TRUE(contains(shown, "\"C5LA\" (LINCE5M-C)")) << shown;
    EXPECT_TRUE(contains(shown, "0x2a probe: 32-bit registers")) << shown;
    // the new device answers through the ISB master
    sim.poke(0x188, 3);
    sim.poke(0x180, 0x2a111);
    EXPECT_EQ(sim.peek(0x184), 0u);
    EXPECT_EQ(sim.peek(0x190), 0xcafef00du);
    EXPECT_EQ(sim.peek(0x180), 0x40u);
    EXPECT_TRUE(status_is(sim.cli({"set", "device", "isb", "0x2a", "none"}), 0));
    sim.poke(0x180, 0x2a111);
    EXPECT_EQ(sim.peek(0x184), 0x40000000u);
}

TEST(Cli, peek_and_poke_bypass_the_driver)
{
    SimCamera sim;
    EXPECT_TRUE(status_is(sim.cli({"poke", "0x8000", "0x77"}), 0));
    EXPECT_TRUE(stdout_is(sim.cli({"peek", "0x8000"}), "0x00000077\n"));
    EXPECT_TRUE(status_is(sim.cli({"poke", "0x8000", "0x100000000"}), 1));
    EXPECT_TRUE(sim.trace().empty());
}

TEST(Cli, peek_and_poke_take_register_names)
{
    SimCamera sim;
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } steps[] = {
        {{"poke", "CHL_MASK_BR", "0x80001"}, 0, "", ""},
        {{"peek", "0x8214"}, 0, "0x00080001\n", ""},
        {{"peek", "chl_mask_br"}, 0, "0x00080001\n", ""},
        {{"poke", "isb_i2c_reg_addr", "0x104"}, 0, "", ""},
        {{"peek", "ISB_I2C_REG_ADDR"}, 0, "0x00000004\n", ""},
        {{"poke", "FPGA_STATUS", "0"}, 0, "", ""},
        {{"peek", "FPGA_STATUS"}, 0, "0x00000011\n", ""},
        {{"peek", "FPGA_ID"}, 0, "0x51580201\n", ""},
        {{"poke", "ASMI_CMD", "2"}, 0, "", ""},
        {{"peek", "ASMI_STATUS"}, 0, "0x00002100\n", ""},
        {{"peek", "I2C_STATUS"}, 1, "", "qxsim: not a register: I2C_STATUS\n"},
        {{"poke", "ASMI_CMDX", "1"}, 1, "", "qxsim: poke takes a register and a 32-bit value\n"},
        {{"poke", "ASMI_ADDR", "ASMI_CMD"}, 1, "", "qxsim: poke takes a register and a 32-bit value\n"},
        {{"fault", "set", "eio-reg", "ASMI_STATUSX"}, 1, "",
         "qxsim: eio-reg takes a register (name or address) and optionally 'read' or 'write'\n"},
    };
    for (const auto& s : steps) {
        Result r = sim.cli(s.args);
        EXPECT_TRUE(status_is(r, s.status)) << s.args[0] << " " << s.args[1];
        EXPECT_TRUE(stdout_is(r, s.out)) << s.args[0] << " " << s.args[1];
        EXPECT_TRUE(qxtest::stderr_is(r, s.err)) << s.args[0] << " " << s.args[1];
    }
    EXPECT_EQ(sim.peek(0x8214), 0x80001u);
    EXPECT_TRUE(sim.trace().empty());
}

TEST(Cli, trace_on_show_clear_off)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    sim.run({client, "open", "r", "0x4"});
    EXPECT_TRUE(sim.trace().empty());
    EXPECT_TRUE(status_is(sim.cli({"trace", "on"}), 0));
    Result r = sim.run({client, "open", "r", "0x4"});
    std::string shown = sim.cli({"trace", "show"}).out;
    EXPECT_TRUE(contains(shown, " R FPGA_STATUS 0x00000011\n")) << shown;
    EXPECT_TRUE(status_is(sim.cli({"trace", "clear"}), 0));
    EXPECT_TRUE(sim.trace().empty());
    EXPECT_TRUE(status_is(sim.cli({"trace", "off"}), 0));
    sim.run({client, "open", "r", "0x4"});
    EXPECT_TRUE(sim.trace().empty());
}

// The trace file keeps addresses; the view names every modelled register.
TEST(Cli, trace_show_names_the_registers_beside_each_access)
{
    SimCamera sim;
    const struct {
        const char* logged;
        const char* shown;
    } lines[] = {
        {"41 O /dev/qx_fpga", "41 O /dev/qx_fpga"},
        {"41 R 0x00000184 0x80000000", "41 R ISB_I2C_STATUS 0x80000000"},
        {"41 W 0x00001000 0x00000208", "41 W ASMI_CMD 0x00000208"},
        {"41 W 0x00000160 0x00048111", "41 W MAIN_I2C_CONTROL 0x00048111"},
        {"41 R 0x000001b0 0x12345678", "41 R IOB_I2C_RD_DATA 0x12345678"},
        {"41 R 0x00009000 0x00000000", "41 R 0x00009000 0x00000000"},
        {"41 R 0x00001024 0x00000000", "41 R 0x00001024 0x00000000"},
        {"41 R 0x00001004 E5", "41 R ASMI_STATUS E5"},
        {"41 W 0x00001014 K", "41 W ASMI_WR_FIFO K"},
        {"41 C /dev/qx_fpga", "41 C /dev/qx_fpga"},
        {"42 P w 0x8170 0x114", "42 P w 0x8170 0x114  (CLPOUT_CTRL)"},
        {"42 P w 0x9000 0x1", "42 P w 0x9000 0x1"},
        {"42 P! w 0x8210 zz", "42 P! w 0x8210 zz"},
        {"42 P 0x00008218 K", "42 P CHL_MASK_TL K"},
        {"43 12.000123456 W 0x00001040 0x00000010", "43 12.000123456 W ASMI_RECONFIG 0x00000010"},
        {"43 12.000200000 P w 0x18c 0x4b00", "43 12.000200000 P w 0x18c 0x4b00  (ISB_I2C_WR_DATA)"},
    };
    std::string logged, shown;
    for (const auto& l : lines) {
        logged += std::string(l.logged) + "\n";
        shown += std::string(l.shown) + "\n";
    }
    {
        std::ofstream(sim.dir() + "/trace.log") << logged;
    }
    Result r = sim.cli({"trace", "show"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, shown));
    std::ifstream kept(sim.dir() + "/trace.log");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), logged) << "the file keeps addresses";
}

TEST(Cli, run_passes_arguments_and_exit_status_of_the_tool)
{
    SimCamera sim;
    Result r = sim.cli({"run", "--", "/bin/sh", "-c", "echo w 0x8008 0x9 > /proc/qx_pci/regs; echo \"$QXSIM_STATE\"; exit 3"});
    EXPECT_TRUE(status_is(r, 3));
    EXPECT_TRUE(stdout_is(r, sim.dir() + "\n"));
    EXPECT_EQ(sim.peek(0x8008), 9u);
    r = sim.cli({"run", "--", client, "open", "r", "0x8008"});
    EXPECT_TRUE(stdout_is(r, "open ok\nr 0x8008 = 0x9\n"));
    r = sim.cli({"run", "--", "/nonexistent/tool"});
    EXPECT_TRUE(status_is(r, 127));
}

// A tool that a power cut ended, and one started on a camera without
// power, get one line from run each; a kill without power loss none.
TEST(Cli, run_tells_when_a_power_cut_ended_the_tool_or_the_camera_has_no_power)
{
    SimCamera sim;
    sim.fault("power-cut", {"2"});
    Result r = sim.cli({"run", "--", client, "open", "w", "0x8000", "1", "w", "0x8000", "2"});
    EXPECT_TRUE(status_is(r, 137));
    EXPECT_TRUE(stderr_is(r, "qxsim: " + client + " was killed by the power cut at access 2; qxsim power-cycle "
                          "restores the power\n"));
    r = sim.cli({"run", "--", client, "open"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "open: errno 19\n"));
    EXPECT_TRUE(stderr_is(r, "qxsim: the camera has no power since the cut at access 2; qxsim power-cycle "
                          "restores it\n"));
    ASSERT_TRUE(status_is(sim.cli({"power-cycle"}), 0));
    sim.fault("kill-at", {"1"});
    r = sim.cli({"run", "--", client, "open", "w", "0x8000", "3"});
    EXPECT_TRUE(status_is(r, 137));
    EXPECT_TRUE(stderr_is(r, ""));
    r = sim.cli({"run", "--", client, "open", "w", "0x8000", "4"});
    EXPECT_TRUE(stdout_is(r, "open ok\nw 0x8000 ok\n"));
    EXPECT_TRUE(stderr_is(r, ""));
}

// peek reads as the bus does: a FIFO data register gives up its word.
TEST(Cli, peek_of_the_read_fifo_pops_a_word)
{
    SimCamera sim;
    sim.setup().poke(qxsim::ASMI_LENGTH, 8).poke(qxsim::ASMI_CMD, qxsim::ASMI_READ);
    EXPECT_TRUE(stdout_is(sim.cli({"peek", "ASMI_RD_FIFO_LEVEL"}), "0x00000002\n"));
    EXPECT_TRUE(stdout_is(sim.cli({"peek", "asmi_rd_fifo"}), "0x49535851\n"));
    EXPECT_TRUE(stdout_is(sim.cli({"peek", "ASMI_RD_FIFO_LEVEL"}), "0x00000001\n"));
    Result help = sim.cli({"--help"});
    EXPECT_TRUE(qxtest::stderr_contains(help, "pops a word"));
}

// The sweep runs on copies of the camera: a camera a cut left off is
// swept as it comes back (the copies power-cycled), and stays off itself.
TEST(Cli, sweep_of_a_camera_without_power_runs_on_powered_copies)
{
    REQUIRE_TOOL("update");
    SimCamera sim;
    sim.fault("power-cut", {"1"});
    sim.run({client, "open", "r", "0x4"});
    const std::string image = sim.dir() + "/app.bin";
    qxtest::write_file(image, std::string(1000, 'q'));
    for (const char* mode : {"--torn", "--kill"}) {
        Result r = sim.cli({"sweep", "power-cut", mode, "--sample", "2", "--", "update", image});
        EXPECT_TRUE(status_is(r, 0)) << mode;
        EXPECT_TRUE(qxtest::stdout_contains(r, "power-cycled (the camera has no power since the cut at access 1)"))
            << mode;
    }
    EXPECT_TRUE(qxtest::stdout_starts_with(sim.cli({"show"}), "NO POWER since the power cut at access 1"));
}

TEST(Cli, run_finds_the_built_tools_by_name)
{
    REQUIRE_TOOL("regdump");
    SimCamera sim(qxtest::SimOptions{"LUX19HS-C", false});
    Result r = sim.cli({"run", "--", "regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "04: 43 48 39 58 \n"));
}

// diff names what differs in the camera, by block and register, device,
// flash range and protection; the bench's faults, trace switch and
// counters are no part of it.
TEST(Cli, diff_names_what_differs_between_two_cameras_and_not_the_bench)
{
    SimCamera a, b;
    Result r = a.cli({"diff", b.dir()});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "camera " + a.dir() + " | camera " + b.dir() + "\nno differences\n"));
    b.fault("i2c-isb.busy", {"3"});
    b.cli({"trace", "off"});
    b.cli({"flash", "timing", "datasheet"});
    EXPECT_TRUE(status_is(a.cli({"diff", b.dir()}), 0)) << "bench settings only";

    b.poke(0x8210, 0x5);
    b.poke(0x9000, 0x3);
    b.cli({"set", "ident-reg", "0x30", "7"});
    b.cli({"set", "device", "iob", "0x2a", "16", "temp"});
    b.cli({"set", "device-reg", "iob", "0x2a", "2", "0x1234"});
    a.cli({"set", "device", "iob", "0x2a", "16", "temp"});
    a.cli({"set", "device-reg", "iob", "0x2a", "2", "0x1"});
    {
        std::ofstream(b.dir() + "/abc.bin") << "abc";
    }
    b.cli({"flash", "load", "0x3000010", b.dir() + "/abc.bin"});
    b.cli({"flash", "protect", "0x68"});
    r = a.cli({"diff", b.dir()});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, "camera " + a.dir() + " | camera " + b.dir() + "\n"
                             "channels CHL_MASK_BL: 0x0 | 0x5\n"
                             "reg 0x00009000: never written | 0x3\n"
                             "i2c-isb 0x50 identification memory register 0x30: 0x00 | 0x07\n"
                             "i2c-iob 0x2a register 0x02: 0x1 | 0x1234\n"
                             "flash protection: 0x5C sectors 0..2047 protected | 0x68 sectors 0..511 protected\n"
                             "flash 0x03000010..0x03000012 (3 bytes): CRC-32 0xFFFFFF00 | CRC-32 0x352441C2\n"));
    r = b.cli({"diff", a.dir() + "/nowhere"});
    EXPECT_TRUE(status_is(r, 2));
    EXPECT_TRUE(qxtest::stderr_contains(r, "no simulated camera"));
}

// A copy saved before a power cycle against the camera after it: the I2C
// master's registers and the DAC chips' codes and reference are lost, the
// flash keeps everything and configures the same image.
TEST(Cli, diff_with_a_copy_shows_what_a_power_cycle_took)
{
    REQUIRE_TOOL("dac");
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"dac", "-u"}), 0));
    const std::string saved = sim.dir() + "/saved";
    std::filesystem::create_directory(saved);
    for (const char* file : {"camera.state", "flash.bin"})
        std::filesystem::copy_file(sim.dir() + "/" + file, saved + "/" + file);
    EXPECT_TRUE(status_is(sim.cli({"diff", saved}), 0));
    sim.cli({"power-cycle"});
    Result r = sim.cli({"diff", saved});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(contains(r.out, "\ni2c-isb 0x10 DAC U12: external reference | internal reference on\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "\ni2c-isb 0x10 DAC U12 VREF: 0x000 powered down | 0x12c powered\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "\ni2c-isb ISB_I2C_REG_ADDR: 0x0 | 0x1f\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "\nflash boot:")) << "the same image configured: " << r.out;
    EXPECT_FALSE(contains(r.out, "\nflash 0x")) << "the array survives";
    EXPECT_FALSE(contains(r.out, "flash protection")) << "so does its protection";
}

}  // namespace
