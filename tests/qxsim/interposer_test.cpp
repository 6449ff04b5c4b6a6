// The LD_PRELOAD interposer: open variants, the two register ioctls, other
// requests, proc-file writes from the shell and through stdio, firmware
// path mapping.
#include "reg_client.h"

#include "qxsim/model/fpga/i2c_master.h"

#include <gtest/gtest.h>

namespace {

TEST(Interposer, every_open_variant_reaches_the_simulated_device)
{
    SimCamera sim;
    for (const char* how : {"open", "open64", "openat", "open2", "openat2", "fopen"}) {
        Result r = sim.run({client, how, "r", "0x4"});
        EXPECT_TRUE(status_is(r, 0));
        EXPECT_TRUE(stdout_is(r, std::string(how) + " ok\nr 0x4 = 0x11\n"));
    }
    EXPECT_EQ(qxtest::reads_of(sim.trace(), 0x4), 6u);
}

TEST(Interposer, write_then_read_back_an_unmodelled_register)
{
    SimCamera sim;
    Result r = sim.run({client, "open", "w", "0x8000", "0xdeadbeef", "r", "0x8000"});
    EXPECT_TRUE(stdout_is(r, "open ok\nw 0x8000 ok\nr 0x8000 = 0xdeadbeef\n"));
    EXPECT_EQ(sim.peek(0x8000), 0xdeadbeefu);
    EXPECT_EQ(qxtest::traffic_summary(sim.trace()),
              (std::vector<std::string>{"W 0x8000 0xdeadbeef", "R 0x8000 0xdeadbeef"}));
}

TEST(Interposer, other_requests_on_the_device_fail_with_enotty)
{
    SimCamera sim;
    Result r = sim.run({client, "open", "ioctl", "0x4008C602", "ioctl", "0x5401"});
    EXPECT_TRUE(stdout_is(r, "open ok\nioctl: errno 25\nioctl: errno 25\n"));
}

TEST(Interposer, access_after_close_fails_with_ebadf_from_the_system)
{
    SimCamera sim;
    Result r = sim.run({client, "open", "close", "r", "0x4", "w", "0x4", "0"});
    EXPECT_TRUE(stdout_is(r, "open ok\nclose\nr 0x4: errno 9\nw 0x4: errno 9\n"));
    std::vector<qxtest::TraceRecord> t = sim.trace();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, 'O');
    EXPECT_EQ(t[1].kind, 'C');
}

TEST(Interposer, device_node_faults_fail_the_open_with_their_errno)
{
    SimCamera sim;
    sim.fault("dev-missing");
    EXPECT_TRUE(stdout_is(sim.run({client, "open"}), "open: errno 2\n"));
    sim.clear_faults();
    sim.fault("dev-denied");
    EXPECT_TRUE(stdout_is(sim.run({client, "openat"}), "openat: errno 13\n"));
    sim.clear_faults();
    EXPECT_TRUE(stdout_is(sim.run({client, "open64"}), "open64 ok\n"));
}

TEST(Interposer, missing_camera_makes_the_device_node_absent)
{
    SimCamera sim;
    ASSERT_EQ(::unlink((sim.dir() + "/camera.state").c_str()), 0);
    Result r = sim.run({client, "open"});
    EXPECT_TRUE(stdout_is(r, "open: errno 2\n"));
    EXPECT_TRUE(qxtest::stderr_contains(r, "no simulated camera"));
}

TEST(Interposer, dash_redirection_writes_one_register)
{
    SimCamera sim;
    Result r = sim.shell("echo w 0x8170 0x114 > /proc/qx_pci/regs");
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sim.peek(0x8170), 0x114u);
    EXPECT_EQ(qxtest::proc_lines(sim.trace()), std::vector<std::string>{"w 0x8170 0x114"});
}

TEST(Interposer, quoted_echo_of_an_i2c_write_reaches_the_master)
{
    SimCamera sim;
    Result r = sim.shell("echo \"w 0x18c 0x4b00\" > /proc/qx_pci/regs; echo \"w 0x188 0x30\" > /proc/qx_pci/regs;"
                         " echo \"w 0x180 0x50120\" > /proc/qx_pci/regs");
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), 0x180), std::vector<uint32_t>{0x50120});
    auto lock = sim.model().lock();
    EXPECT_EQ(sim.model().i2c(qxsim::BUS_ISB).state().writes, 1u);
}

TEST(Interposer, refused_line_fails_the_shell_write_and_changes_nothing)
{
    SimCamera sim;
    sim.poke(0x8170, 7);
    Result r = sim.shell("echo w 0x8170 0x1x4 > /proc/qx_pci/regs; echo status=$?");
    EXPECT_TRUE(stdout_is(r, "status=1\n"));
    EXPECT_FALSE(r.err.empty()) << "the shell reports the failed write";
    EXPECT_EQ(sim.peek(0x8170), 7u);
    std::vector<qxtest::TraceRecord> t = sim.trace();
    bool refused = false;
    for (const auto& rec : t)
        refused |= rec.kind == 'P' && rec.refused && rec.text == "w 0x8170 0x1x4";
    EXPECT_TRUE(refused);
}

TEST(Interposer, proc_file_faults_make_the_shell_fail_to_redirect)
{
    SimCamera sim;
    sim.fault("proc-missing");
    Result r = sim.shell("echo w 0x8170 0x114 > /proc/qx_pci/regs");
    EXPECT_TRUE(status_is(r, 2)) << "the shell's redirection fails";
    EXPECT_TRUE(qxtest::stderr_contains(r, "cannot create /proc/qx_pci/regs"));
    sim.clear_faults();
    sim.fault("proc-denied");
    r = sim.shell("echo w 0x8170 0x114 > /proc/qx_pci/regs");
    EXPECT_TRUE(status_is(r, 2));
    EXPECT_TRUE(qxtest::stderr_contains(r, "Permission denied"));
    EXPECT_EQ(sim.peek(0x8170), 0u);
}

TEST(Interposer, shell_started_by_system_inherits_the_camera)
{
    SimCamera sim;
    Result r = sim.run({client, "open", "system", "echo w 0x8000 0x5 > /proc/qx_pci/regs", "r", "0x8000"});
    EXPECT_TRUE(stdout_is(r, "open ok\nsystem 0\nr 0x8000 = 0x5\n"));
    std::vector<qxtest::TraceRecord> t = sim.trace();
    ASSERT_EQ(t.size(), 4u);  // device open, proc open, proc line, read
    EXPECT_EQ(t[1].text, "/proc/qx_pci/regs");
    EXPECT_EQ(t[2].text, "w 0x8000 0x5");
    EXPECT_NE(t[2].pid, t[0].pid) << "the line comes from the shell child";
    EXPECT_EQ(t[1].pid, t[2].pid);
    EXPECT_EQ(t[3].pid, t[0].pid);
}

TEST(Interposer, fopen_of_the_proc_file_takes_lines_through_stdio)
{
    SimCamera sim;
    Result r = sim.run({client, "proc", "w 0x8210 0xfffff\nw 0x8214 0x3\n", "proc", "w 0x821c 0x1\nw 0x8218 zz\n"});
    EXPECT_TRUE(stdout_is(r, "proc ok\nproc: errno 22\n"));
    EXPECT_EQ(sim.peek(0x8210), 0xfffffu);
    EXPECT_EQ(sim.peek(0x8214), 0x3u);
    EXPECT_EQ(sim.peek(0x821c), 0u) << "a bad line refuses the good line before it too";
    EXPECT_EQ(sim.peek(0x8218), 0u);
}

TEST(Interposer, firmware_folder_maps_into_the_state_folder)
{
    SimCamera sim;
    qxtest::write_file(sim.dir() + "/firmware/qx_lux13hs.rbf", "IMAGE");
    Result r = sim.shell("cat /usr/local/bin/orvane/firmware/qx_lux13hs.rbf");
    EXPECT_TRUE(stdout_is(r, "IMAGE"));
    r = sim.shell("cat /usr/local/bin/orvane/firmware/absent.rbf");
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(qxtest::stderr_contains(r, "absent.rbf: No such file or directory"));
}

}  // namespace
