// The tools' locks: one per I2C master and one for the flash controller,
// flock(2) on files under /run/lock (the camera's locks/ folder here). Each
// guard in both halves: held by another process, the tool fails cleanly
// without touching the hardware; free, or released while the tool waits,
// the tool runs as always. A holder killed with SIGKILL leaves nothing
// behind, and a lock file that cannot be created leaves the tools working,
// unlocked, with one line that says so.
#include "bench_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_is;

bool tools_built()
{
    for (const char* tool : {"update", "regdump", "dac", "biasset"})
        if (qxtest::tool_path(tool).empty())
            return false;
    return true;
}

const char UPDATE_USAGE[] =
    "usage: update [-r] [-v] [-e] <fpga_config_file>\n"
    " -r             --release      \t  Perform a release update\n"
    "\n"
    " -v             --verbose      \t  Enable verbose output\n"
    " -e             --erase        \t  Only erase (no programming)\n";

// Accesses to an I2C master block (five registers from `base`).
size_t master_accesses(const std::vector<qxtest::TraceRecord>& t, uint32_t base)
{
    size_t n = 0;
    for (const qxtest::TraceRecord& r : t)
        n += (r.kind == 'R' || r.kind == 'W' || r.kind == 'P') && r.reg >= base && r.reg < base + 0x14;
    return n;
}

struct Guard {
    const char* name;
    const char* lock;        // the lock held by "another process"
    uint32_t master;         // the master block the tool uses
    std::vector<std::string> argv;
    std::string out, err;    // while the lock is held
    int status;
};

const Guard guards[] = {
    {"regdump_main", "i2c-main", 0x160, {"regdump", "-d", "0x20", "-c", "2"},
     "bool i2c_read(uint8_t, uint8_t*): I2C master held by another process.\n", "Unable to read address 0x00\n", 1},
    {"regdump_isb", "i2c-isb", 0x180, {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"},
     "bool i2c_read(uint8_t, uint8_t*): I2C master held by another process.\n", "Unable to read address 0x04\n", 1},
    {"regdump_iob_forced", "i2c-iob", 0x1A0, {"regdump", "-o", "-f", "-d", "0x21", "-c", "1"},
     "bool i2c_read(uint8_t, uint8_t*): I2C master held by another process.\n", "Unable to read address 0x00\n", 1},
    {"dac_powerup", "i2c-isb", 0x180, {"dac", "-u"},
     "bool i2c_write(uint8_t, uint8_t, uint16_t): I2C master held by another process.\n"
     "void dac_powerup(): I/O error\n", "", 1},
    {"dac_shutdown", "i2c-isb", 0x180, {"dac"},
     "bool i2c_write(uint8_t, uint8_t, uint16_t): I2C master held by another process.\n"
     "void dac_shutdown(): Unable to write shutdown command!\n", "", 1},
    {"biasset", "i2c-isb", 0x180, {"biasset", "VPIX", "450"}, "",
     "bool proc_i2c_write(uint8_t, uint8_t, uint16_t): I2C master held by another process.\n"
     "Unable to write VPIX through /proc/qx_pci/regs!\n", 1},
    {"update_sensor_read", "i2c-isb", 0x180, {"update", "-r", "-e"},
     "bool i2c_read(uint8_t, uint8_t, uint8_t*, int): I2C master held by another process.\n",
     std::string("Unable to read address 0x04\n") + UPDATE_USAGE, 1},
};

class LockGuard : public ::testing::TestWithParam<Guard> {};

TEST_P(LockGuard, held_master_fails_the_transaction_untouched_and_free_one_works)
{
    if (!tools_built())
        GTEST_SKIP() << "a tool is missing from this build";
    const Guard& g = GetParam();
    SimCamera sim;
    {
        qxtest::LockHold other = sim.hold_lock(g.lock);
        ASSERT_TRUE(other.held());
        Result r = sim.run(g.argv);
        EXPECT_TRUE(status_is(r, g.status));
        EXPECT_TRUE(stdout_is(r, g.out));
        EXPECT_TRUE(stderr_is(r, g.err));
        EXPECT_EQ(master_accesses(sim.trace(), g.master), 0u) << "the held master was not touched";
    }
    // Free again: the tool runs, and its traffic is that of a camera on
    // which no lock was ever held.
    sim.clear_trace();
    Result r = sim.run(g.argv);
    EXPECT_EQ(r.out.find("held by another process"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("held by another process"), std::string::npos) << r.err;
    SimCamera fresh;
    Result f = fresh.run(g.argv);
    EXPECT_EQ(r.status, f.status);
    EXPECT_EQ(qxtest::traffic_summary(sim.trace()), qxtest::traffic_summary(fresh.trace()));
    EXPECT_GT(master_accesses(sim.trace(), g.master), 0u);
}

INSTANTIATE_TEST_SUITE_P(Tools, LockGuard, ::testing::ValuesIn(guards),
                         [](const ::testing::TestParamInfo<Guard>& info) { return std::string(info.param.name); });

TEST(ToolLocks, each_master_and_each_camera_has_its_own_lock)
{
    if (!tools_built())
        GTEST_SKIP() << "a tool is missing from this build";
    SimCamera sim, beside;
    qxtest::LockHold isb = sim.hold_lock("i2c-isb");
    qxtest::LockHold flash = beside.hold_lock("flash");
    // Another master of the same camera, and the same master of the camera
    // beside it, are free.
    Result main = sim.run({"regdump", "-d", "0x20", "-c", "1"});
    EXPECT_TRUE(status_is(main, 0));
    EXPECT_TRUE(stdout_is(main, "00: 00 \n"));
    EXPECT_TRUE(status_is(beside.run({"dac", "-u"}), 0));
    EXPECT_TRUE(status_is(beside.run({"biasset", "VPIX", "450"}), 0));
}

TEST(ToolLocks, a_tool_waits_for_a_hold_that_ends_within_the_bound)
{
    if (!tools_built())
        GTEST_SKIP() << "a tool is missing from this build";
    SimCamera sim;
    // `qxsim lock` holds the ISB master for 0.3 s, as another tool's
    // transaction would; dac starts while it is held.
    std::string holder = "'" + qxtest::qxsim_path() + "' --state '" + sim.dir() + "' lock i2c-isb -- sleep 0.3";
    Result r = sim.shell(holder + " & until [ -n \"$(ls -A '" + sim.dir() +
                         "/locks')\" ]; do sleep 0.01; done; sleep 0.05; '" + qxtest::tool_path("dac") +
                         "' -u; s=$?; wait; exit $s");
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), 0x180).size(), 19u);
}

// dac -u lets go of the ISB master after each of its 19 writes and takes it
// again at once. biasset, started once dac has opened the device (the trace
// is no longer empty; shell built-ins only, as under emulation the shell's
// utilities are the host's), waits in line at the gate and goes next: its
// three lines come within dac's run, one after another, instead of after
// dac's last write.
TEST(ToolLocks, a_waiting_tool_goes_before_a_holder_that_takes_the_lock_again)
{
    if (!tools_built())
        GTEST_SKIP() << "a tool is missing from this build";
    SimCamera sim;
    Result r = sim.shell("'" + qxtest::tool_path("dac") + "' -u & until [ -s '" + sim.dir() +
                         "/trace.log' ]; do :; done; '" + qxtest::tool_path("biasset") +
                         "' VPIX 450; s=$?; wait $! || s=1; exit $s");
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stderr_is(r, ""));
    size_t dac_writes_before = 0, proc_lines = 0, dac_writes = 0;
    bool interleaved = false;
    for (const qxtest::TraceRecord& t : sim.trace()) {
        if (t.kind == 'P') {
            proc_lines++;
        } else if (t.kind == 'W' && t.reg == 0x180) {
            dac_writes++;
            dac_writes_before += proc_lines == 0;
            interleaved |= proc_lines > 0 && proc_lines < 3;
        }
    }
    EXPECT_EQ(dac_writes, 19u);
    EXPECT_EQ(proc_lines, 3u);
    EXPECT_FALSE(interleaved) << "biasset's three lines are one transaction";
    EXPECT_GE(dac_writes_before, 1u) << "biasset started while dac was running";
    EXPECT_LT(dac_writes_before, 19u) << "biasset waited for the whole of dac's run";
}

// A lock file that cannot be created (here: no locks/ folder, as a system
// without /run/lock) leaves each tool working, unlocked, said once per run;
// the traffic is the same as with the locks.
TEST(ToolLocks, without_a_lock_folder_the_tools_run_unlocked_and_say_so_once)
{
    if (!tools_built())
        GTEST_SKIP() << "a tool is missing from this build";
    auto warning = [](const char* file) {
        return std::string("bool tool_lock_take(tool_lock_id, bool): cannot create /run/lock/") + file +
               ": No such file or directory; going on without locking.\n";
    };
    const struct {
        std::vector<std::string> argv;
        const char* first_lock;
    } runs[] = {
        {{"dac", "-u"}, "qx-i2c-isb.lock"},
        {{"biasset", "VPIX", "450"}, "qx-i2c-isb.lock"},
        {{"regdump", "-i", "-d", "0x50", "-c", "8"}, "qx-i2c-isb.lock"},
        {{"update", "-r", "-e"}, "qx-flash.lock"},
    };
    for (const auto& run : runs) {
        SimCamera bare, locked;
        ASSERT_EQ(::rmdir((bare.dir() + "/locks").c_str()), 0);
        Result r = bare.run(run.argv);
        Result l = locked.run(run.argv);
        EXPECT_TRUE(status_is(r, 0)) << run.argv[0];
        EXPECT_TRUE(status_is(l, 0)) << run.argv[0];
        EXPECT_TRUE(stderr_is(r, warning(run.first_lock) + l.err)) << run.argv[0];
        EXPECT_EQ(r.out, l.out) << run.argv[0];
        EXPECT_EQ(qxtest::traffic_summary(bare.trace()), qxtest::traffic_summary(locked.trace())) << run.argv[0];
        EXPECT_NE(bare.show().find("Tool locks: no locks/ folder"), std::string::npos);
    }
}

// Killed with SIGKILL inside a transaction (a power cut at the command
// word) or inside an update: the kernel drops the lock with the process.
TEST(ToolLocks, a_holder_killed_with_sigkill_leaves_the_lock_free)
{
    if (!tools_built())
        GTEST_SKIP() << "a tool is missing from this build";
    SimCamera sim;
    // dac -u: bus check, then per write 1 status read and 3 writes; the
    // fifth access is the first write's command word.
    sim.fault("power-cut", {"5"});
    Result killed = sim.run({"dac", "-u"});
    EXPECT_EQ(killed.signal, 9);
    EXPECT_EQ(sim.lock_holder("i2c-isb"), 0);
    Result next = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(next, 0));
    EXPECT_TRUE(stdout_is(next, ""));

    safety::DiskImage image = safety::make_disk_image(sim.dir(), {"", "qx_lock_a", 4096, 0x10C0001});
    sim.fault("power-cut", {"40"});
    killed = sim.run({"update", image.path});
    EXPECT_EQ(killed.signal, 9);
    EXPECT_EQ(sim.lock_holder("flash"), 0);
    ASSERT_TRUE(status_is(sim.cli({"boot"}), 0)) << "the power comes back";
    EXPECT_TRUE(status_is(sim.run({"update", image.path}), 0));

    // A holder from outside, killed the same way.
    std::string out = sim.shell("'" + qxtest::qxsim_path() + "' --state '" + sim.dir() +
                                "' lock i2c-isb -- sleep 60 & p=$!; until [ -n \"$(ls -A '" + sim.dir() +
                                "/locks')\" ]; do sleep 0.01; done; sleep 0.1; kill -9 $p; wait $p; echo $?")
                          .out;
    EXPECT_EQ(out, "137\n");
    EXPECT_EQ(sim.lock_holder("i2c-isb"), 0);
    EXPECT_TRUE(status_is(sim.run({"biasset", "VPIX", "450"}), 0));
}

TEST(ToolLocks, update_refuses_at_once_while_the_flash_controller_is_held)
{
    if (!tools_built())
        GTEST_SKIP() << "a tool is missing from this build";
    SimCamera sim;
    safety::DiskImage image = safety::make_disk_image(sim.dir(), {"", "qx_lock_a", 4096, 0x10C0001});
    {
        qxtest::LockHold other = sim.hold_lock("flash");
        for (const std::vector<std::string>& argv :
             {std::vector<std::string>{"update", "-v", image.path}, {"update", "-r"}, {"update", "-e", image.path}}) {
            Result r = sim.run(argv);
            EXPECT_TRUE(status_is(r, 1));
            EXPECT_TRUE(stdout_is(r, ""));
            EXPECT_TRUE(stderr_is(r, "bool update_lock_flash(): the flash controller is held by another process; "
                                     "nothing done.\n"));
        }
        EXPECT_TRUE(sim.trace().empty()) << "not even the register device was opened";
    }
    Result r = sim.run({"update", image.path});
    EXPECT_TRUE(status_is(r, 0));
    auto lock = sim.model().lock();
    EXPECT_EQ(sim.model().asmi().boot().state().image, qxsim::BOOT_APPLICATION);
}

// Two updates started together: exactly one rewrites the flash, the other
// refuses before touching anything, and the camera boots the one that ran.
TEST(ToolLocks, of_two_updates_started_together_one_runs_and_one_refuses)
{
    if (!tools_built())
        GTEST_SKIP() << "a tool is missing from this build";
    SimCamera sim;
    // Sector erases take their datasheet time, so the first run is still
    // going when the second starts.
    ASSERT_TRUE(status_is(sim.cli({"flash", "timing", "datasheet"}), 0));
    safety::DiskImage a = safety::make_disk_image(sim.dir(), {"", "qx_lock_a", 40000, 0x10C0001});
    safety::DiskImage b = safety::make_disk_image(sim.dir(), {"", "qx_lock_b", 50000, 0x10C0002});
    const std::string update = "'" + qxtest::tool_path("update") + "'";
    Result r = sim.shell("(" + update + " '" + a.path + "' >/dev/null; echo A=$?) & (" + update + " '" + b.path +
                         "' >/dev/null; echo B=$?) & wait");
    std::smatch ma, mb;
    ASSERT_TRUE(std::regex_search(r.out, ma, std::regex("A=([0-9]+)"))) << r.out;
    ASSERT_TRUE(std::regex_search(r.out, mb, std::regex("B=([0-9]+)"))) << r.out;
    const bool a_ran = ma[1] == "0";
    EXPECT_EQ((ma[1] == "0") + (mb[1] == "0"), 1) << r.out;
    EXPECT_EQ((ma[1] == "1") + (mb[1] == "1"), 1) << r.out;
    EXPECT_EQ(r.err, "bool update_lock_flash(): the flash controller is held by another process; nothing done.\n");

    // Only the winner opened the register device and wrote the flash.
    auto t = sim.trace();
    size_t opens = 0;
    for (const qxtest::TraceRecord& x : t)
        opens += x.kind == 'O' && x.text == "/dev/qx_fpga";
    EXPECT_EQ(opens, 1u);
    std::vector<uint8_t> factory = qxsim::make_image(qxsim::factory_image);
    safety::Booted booted = safety::classify_boot(sim, a, b, qxsim::crc32(factory.data(), factory.size()),
                                                  uint32_t(factory.size()));
    EXPECT_STREQ(safety::booted_name(booted), safety::booted_name(a_ran ? safety::Booted::image_a
                                                                        : safety::Booted::image_b));
}

TEST(ToolLocks, show_and_qxsim_lock_tell_who_holds_which_lock)
{
    SimCamera sim;
    std::string show = sim.show();
    EXPECT_NE(show.find("Tool locks (locks/, /run/lock on the camera):\n"), std::string::npos) << show;
    EXPECT_NE(show.find("  i2c-isb   ISB I2C master           not taken yet\n"), std::string::npos) << show;
    {
        qxtest::LockHold held = sim.hold_lock("i2c-isb");
        EXPECT_EQ(sim.lock_holder("i2c-isb"), ::getpid());
        EXPECT_EQ(sim.lock_holder("flash"), 0);
        show = sim.cli({"show"}).out;
        EXPECT_NE(show.find("  i2c-isb   ISB I2C master           held by pid " + std::to_string(::getpid())),
                  std::string::npos)
            << show;
        Result refused = sim.cli({"lock", "i2c-isb", "--", "true"});
        EXPECT_TRUE(status_is(refused, 1));
        EXPECT_EQ(refused.err.find("qxsim: lock i2c-isb is held by pid " + std::to_string(::getpid())), 0u)
            << refused.err;
    }
    EXPECT_NE(sim.show().find("  i2c-isb   ISB I2C master           free\n"), std::string::npos);
    Result ran = sim.cli({"lock", "flash", "--", "sh", "-c", "echo holding"});
    EXPECT_TRUE(status_is(ran, 0));
    EXPECT_TRUE(stdout_is(ran, "holding\n"));
    EXPECT_TRUE(status_is(sim.cli({"lock", "nosuch", "--", "true"}), 1));
    EXPECT_TRUE(status_is(sim.cli({"lock", "flash"}), 2));
}

}  // namespace
