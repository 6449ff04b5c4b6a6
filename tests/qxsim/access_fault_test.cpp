// Faults of the driver path: EIO on a register, on the Nth access, from the
// Nth on; a power cut at the Nth access; which faults fired.
#include "reg_client.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

TEST(AccessFault, eio_on_a_register_fails_only_that_register)
{
    SimCamera sim;
    sim.fault("eio-reg", {"0x184"});
    Result r = sim.run({client, "open", "r", "0x184", "r", "0x4", "w", "0x184", "1"});
    EXPECT_TRUE(stdout_is(r, "open ok\nr 0x184: errno 5\nr 0x4 = 0x11\nw 0x184: errno 5\n"));
    std::vector<qxtest::TraceRecord> t = sim.trace();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[1].kind, 'R');
    EXPECT_EQ(t[1].error, 5);
    EXPECT_EQ(t[3].kind, 'W');
    EXPECT_EQ(t[3].error, 5);
}

TEST(AccessFault, eio_on_register_reads_only_lets_writes_through)
{
    SimCamera sim;
    sim.fault("eio-reg", {"0x8000", "read"});
    Result r = sim.run({client, "open", "w", "0x8000", "9", "r", "0x8000"});
    EXPECT_TRUE(stdout_is(r, "open ok\nw 0x8000 ok\nr 0x8000: errno 5\n"));
    EXPECT_EQ(sim.peek(0x8000), 9u);
}

TEST(AccessFault, eio_at_n_fails_exactly_the_nth_access_from_now)
{
    SimCamera sim;
    sim.run({client, "open", "r", "0x4", "r", "0x4"});  // earlier accesses do not count
    sim.fault("eio-at", {"3"});
    Result r = sim.run({client, "open", "r", "0x4", "r", "0x4", "r", "0x4", "r", "0x4"});
    EXPECT_TRUE(stdout_is(r, "open ok\nr 0x4 = 0x11\nr 0x4 = 0x11\nr 0x4: errno 5\nr 0x4 = 0x11\n"));
}

TEST(AccessFault, eio_from_n_fails_the_nth_access_and_every_later_one)
{
    SimCamera sim;
    sim.fault("eio-from", {"2"});
    Result r = sim.run({client, "open", "w", "0x8000", "1", "w", "0x8000", "2", "r", "0x8000"});
    EXPECT_TRUE(stdout_is(r, "open ok\nw 0x8000 ok\nw 0x8000: errno 5\nr 0x8000: errno 5\n"));
    EXPECT_EQ(sim.peek(0x8000), 1u) << "the failed write is not applied";
    sim.clear_faults();
    EXPECT_TRUE(stdout_is(sim.run({client, "open", "r", "0x8000"}), "open ok\nr 0x8000 = 0x1\n"));
}

TEST(AccessFault, counts_run_across_processes_and_proc_lines)
{
    SimCamera sim;
    sim.fault("eio-at", {"2"});
    sim.run({client, "open", "w", "0x8000", "1"});
    Result r = sim.shell("echo w 0x8004 0x5 > /proc/qx_pci/regs");
    EXPECT_TRUE(status_is(r, 1)) << "the second access is this proc line: echo's write fails";
    EXPECT_TRUE(qxtest::stderr_contains(r, "I/O error"));
    EXPECT_EQ(sim.peek(0x8004), 0u);
}

// A power cut ends the process at the access and leaves the camera off:
// a tool started since finds no driver (ENODEV) until a power cycle.
TEST(AccessFault, power_cut_kills_the_process_before_the_access_and_leaves_the_camera_off)
{
    SimCamera sim;
    sim.fault("power-cut", {"3"});
    Result r = sim.run({client, "open", "w", "0x8000", "1", "w", "0x8000", "2", "w", "0x8000", "3", "w", "0x8000", "4"});
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(r.status, 137);
    EXPECT_EQ(sim.peek(0x8000), 2u);
    std::vector<qxtest::TraceRecord> t = sim.trace();
    ASSERT_FALSE(t.empty());
    EXPECT_TRUE(t.back().killed) << t.back().line;
    EXPECT_EQ(t.back().reg, 0x8000u);
    std::string shown = sim.show();
    EXPECT_EQ(shown.rfind("NO POWER since the power cut at access 3 (qxsim power-cycle restores it)\n", 0), 0u)
        << shown;
    EXPECT_TRUE(qxtest::contains(shown, "Power cuts: 1, the last at access 3\n")) << shown;
    EXPECT_TRUE(qxtest::contains(shown, "power-cut x1")) << shown;

    // no driver: the open fails, and the write on no descriptor with it
    // (EBADF; qemu-user says ENOSYS for an ioctl it cannot place)
    r = sim.run({client, "open", "w", "0x8000", "5"});
    EXPECT_EQ(r.out.rfind("open: errno 19\nw 0x8000: errno ", 0), 0u) << r.out;
    EXPECT_EQ(sim.trace().back().line.substr(sim.trace().back().line.find(" O ")), " O /dev/qx_fpga E19");
    EXPECT_EQ(sim.peek(0x8000), 2u);
    ASSERT_TRUE(status_is(sim.cli({"power-cycle"}), 0));
    EXPECT_TRUE(stdout_is(sim.run({client, "open", "w", "0x8000", "5"}), "open ok\nw 0x8000 ok\n"));
    EXPECT_EQ(sim.peek(0x8000), 5u);
    shown = sim.show();
    EXPECT_FALSE(qxtest::contains(shown, "NO POWER")) << shown;
    EXPECT_TRUE(qxtest::contains(shown, "Power cuts: 1, the last at access 3\n")) << shown;
}

// A kill is not a camera event: the process goes, nothing is marked and the
// camera keeps what the process left (here the master's registers).
TEST(AccessFault, kill_at_kills_the_process_before_the_access_and_leaves_the_camera_powered)
{
    SimCamera sim;
    sim.fault("kill-at", {"2"});
    Result r = sim.run({client, "open", "w", "0x188", "0x7", "w", "0x8000", "2"});
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(sim.peek(0x188), 7u);
    EXPECT_EQ(sim.peek(0x8000), 0u);
    for (const qxtest::TraceRecord& rec : sim.trace())
        EXPECT_FALSE(rec.killed) << rec.line;
    EXPECT_TRUE(stdout_is(sim.run({client, "open", "w", "0x8000", "5"}), "open ok\nw 0x8000 ok\n"));
    const std::string shown = sim.show();
    EXPECT_NE(shown.find("kill-at x1"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("power-cut x"), std::string::npos) << shown;

    // Any other signal comes as the access returns: the access is applied.
    sim.fault("kill-at", {"2", "int"});
    EXPECT_NE(sim.show().find("kill-at SIGINT (in 2 accesses)"), std::string::npos) << sim.show();
    r = sim.run({client, "open", "w", "0x188", "0x8", "w", "0x8000", "6", "w", "0x8000", "7"});
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(sim.peek(0x8000), 6u);
    EXPECT_NE(sim.show().find("kill-at x2"), std::string::npos) << sim.show();
}

// Every process that uses the camera and was running at the cut ends at
// its next access or open, by itself; one started later gets ENODEV.
TEST(AccessFault, every_process_running_at_a_power_cut_ends_itself)
{
    SimCamera sim;
    // The shell that wrote the line dies; the shell around it never used
    // the camera and goes on, and the one it starts next finds no driver.
    sim.fault("power-cut", {"1"});
    Result r = sim.shell("sh -c 'echo w 0x8000 0x7 > /proc/qx_pci/regs'; echo after=$?; "
                         "sh -c 'echo w 0x8004 0x1 > /proc/qx_pci/regs'; echo then=$?");
    EXPECT_TRUE(stdout_is(r, "after=137\nthen=2\n"));
    EXPECT_TRUE(qxtest::stderr_contains(r, "cannot create /proc/qx_pci/regs: No such device"));
    EXPECT_EQ(sim.peek(0x8000), 0u);
    EXPECT_EQ(sim.peek(0x8004), 0u);

    // biasset writes through three shells: the second one is cut, and
    // biasset itself ends as that shell returns.
    ASSERT_TRUE(status_is(sim.cli({"power-cycle"}), 0));
    if (!qxtest::tool_path("biasset").empty()) {
        sim.fault("power-cut", {"2"});
        r = sim.run({"biasset", "VREF", "0x100"});
        EXPECT_EQ(r.signal, SIGKILL) << r.err;
        EXPECT_TRUE(stderr_is(r, "")) << "it reports no failed write: it is gone";
        EXPECT_EQ(sim.peek(0x18c), 0x4000u) << "the first line landed";
        EXPECT_EQ(sim.peek(0x188), 0u) << "the second did not";
        ASSERT_TRUE(status_is(sim.cli({"power-cycle"}), 0));
    }

    // A process busy elsewhere on the camera ends at its next access when
    // another one's sector erase is cut (a torn erase).
    sim.fault("asmi.torn-erase", {"1", "0"});
    r = sim.shell("'" + client + "' open hammer 300000000 0x8000 & sleep 0.3; '" + client +
                  "' open w 0x1000 0x1 w 0x1010 0x68 w 0x1000 0x20 w 0x1008 0x2000000 w 0x1000 0x40; "
                  "echo cut=$?; wait $!; echo running=$?");
    EXPECT_TRUE(stdout_is(r, "cut=137\nrunning=137\n"));
}

TEST(AccessFault, show_lists_faults_set_and_fired)
{
    SimCamera sim;
    sim.fault("eio-reg", {"0x184"});
    sim.fault("dev-denied");
    std::string before = sim.show();
    EXPECT_NE(before.find("Access faults set: eio-reg 0x184 open-error dev EACCES"), std::string::npos) << before;
    EXPECT_NE(before.find("Access faults fired: none"), std::string::npos) << before;
    sim.run({client, "open"});
    sim.clear_faults();
    sim.fault("eio-reg", {"0x184"});
    sim.run({client, "open", "r", "0x184", "r", "0x184"});
    std::string after = sim.show();
    EXPECT_NE(after.find("Access faults fired: eio-reg x2 open-error dev x1"), std::string::npos) << after;
}

}  // namespace
