// The tools' locks: one per I2C master and one for the flash controller,
// flock(2) on files in /run/qx-tools (the camera's locks/ folder here). Each
// guard in both halves: held by another process, the tool fails cleanly
// without touching the hardware; free, or released while the tool waits,
// the tool runs as always. A holder killed with SIGKILL leaves nothing
// behind; a lock file or folder that is not what the tools made is refused.
#include "bench_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_is;

// A shell line that starts `command` in the background and waits until the
// camera's trace holds `line_part` (shell built-ins only: under emulation
// the shell's utilities are the host's).
std::string until_traced(const SimCamera& sim, const std::string& line_part, const std::string& command)
{
    const std::string trace = "'" + sim.dir() + "/trace.log'";
    return "seen() { [ -e " + trace + " ] || return 1; while IFS= read -r l; do case $l in *'" + line_part +
           "'*) return 0;; esac; done < " + trace + "; return 1; }; " + command +
           " & until seen; do :; done; ";
}

mode_t current_umask()
{
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Skips a test when one of the four tools is not in this build.
#define REQUIRE_TOOLS()                                              \
    for (const char* tool : {"update", "regdump", "dac", "biasset"}) \
    REQUIRE_TOOL(tool)

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

// Test names carry the case; keep gtest from dumping the struct's bytes.
void PrintTo(const Guard& g, std::ostream* os)
{
    *os << g.name;
}

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
    REQUIRE_TOOLS();
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
    REQUIRE_TOOLS();
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
    REQUIRE_TOOLS();
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

// regdump takes the master for each register and lets it go after it (a
// slow master here: three busy status reads per wait). biasset, started
// once regdump has opened the device (the trace is no longer empty; shell
// built-ins only, as under emulation the shell's utilities are the host's),
// waits in line at the gate and goes next: its three lines come between two
// of regdump's reads, one after another, instead of after the last.
TEST(ToolLocks, a_waiting_tool_goes_before_a_holder_that_takes_the_lock_again)
{
    REQUIRE_TOOLS();
    SimCamera sim;
    sim.fault("i2c-isb.busy", {"3"});
    Result r = sim.shell(until_traced(sim, "W 0x00000180 0x00050111", "'" + qxtest::tool_path("regdump") +
                                                                          "' -i -d 0x50 -c 16 >/dev/null") +
                         "'" + qxtest::tool_path("biasset") + "' VPIX 450; s=$?; wait $! || s=1; exit $s");
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stderr_is(r, ""));
    size_t reads_before = 0, proc_lines = 0, reads = 0;
    bool interleaved = false;
    for (const qxtest::TraceRecord& t : sim.trace()) {
        if (t.kind == 'P') {
            proc_lines++;
        } else if (t.kind == 'W' && t.reg == 0x180) {
            reads++;
            reads_before += proc_lines == 0;
            interleaved |= proc_lines > 0 && proc_lines < 3;
        }
    }
    EXPECT_EQ(reads, 16u);
    EXPECT_EQ(proc_lines, 3u);
    EXPECT_FALSE(interleaved) << "biasset's three lines are one transaction";
    EXPECT_GE(reads_before, 1u) << "biasset started while regdump was running";
    EXPECT_LT(reads_before, 16u) << "biasset waited for the whole of regdump's run";
}

// dac holds the master from its first write to the check of its last, so
// that no other transaction reads the outcome of one of its writes: biasset,
// started once dac has begun, goes after dac's last write. Waiters still go
// in the order they came: with the master held, biasset waits at the gate
// (show names it as next) and regdump, coming later, after it.
TEST(ToolLocks, dac_holds_the_master_for_its_whole_run_and_waiters_keep_their_order)
{
    REQUIRE_TOOLS();
    SimCamera sim;
    Result r = sim.shell(until_traced(sim, "W 0x00000180 0x00010120", "'" + qxtest::tool_path("dac") + "' -u") +
                         "'" + qxtest::tool_path("biasset") + "' VPIX 450; s=$?; wait $! || s=1; exit $s");
    EXPECT_TRUE(status_is(r, 0));
    size_t dac_writes = 0;
    for (const qxtest::TraceRecord& t : sim.trace()) {
        if (t.kind == 'P')
            break;
        dac_writes += t.kind == 'W' && t.reg == 0x180;
    }
    EXPECT_EQ(dac_writes, 19u) << "biasset's lines come after dac's last write";

    sim.clear_trace();
    const std::string qxsim = "'" + qxtest::qxsim_path() + "' --state '" + sim.dir() + "'";
    const std::string show_has = "case \"$(" + qxsim + " show)\" in *";
    // The hold ends when the test says so, after regdump has started.
    const std::string release = "'" + sim.dir() + "/release'";
    r = sim.shell(qxsim + " lock i2c-isb -- sh -c 'until [ -e " + release + " ]; do sleep 0.01; done' & h=$!; until " +
                  show_has + "'held by pid'*) true;; *) false;; esac; do :; done; '" + qxtest::tool_path("biasset") +
                  "' VPIX 450 & a=$!; until " + show_has + "'next: pid'*) true;; *) false;; esac; do :; done; " +
                  qxsim + " show > '" + sim.dir() + "/shown'; '" + qxtest::tool_path("regdump") +
                  "' -i -d 0x50 -c 1 >/dev/null & r=$!; sleep 0.2; : > " + release +
                  "; s=0; wait $r || s=1; wait $a || s=1; wait $h; exit $s");
    EXPECT_TRUE(status_is(r, 0));
    std::ifstream in(sim.dir() + "/shown");
    const std::string shown((std::istreambuf_iterator<char>(in)), {});
    EXPECT_TRUE(std::regex_search(shown, std::regex("  i2c-isb   ISB I2C master           held by pid [0-9]+ "
                                                    "\\([a-z]+\\), next: pid [0-9]+ \\(biasset\\)\n")))
        << shown;
    auto t = qxtest::register_traffic(sim.trace());
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.front().kind, 'P') << "biasset came first and went first: " << t.front().line;
}

// A camera made before the tools had locks has no locks/ folder, as a
// camera whose /run was emptied by a reboot has no /run/qx-tools: the first
// tool makes it (0755) and locks as always.
TEST(ToolLocks, without_a_lock_folder_the_first_tool_makes_it)
{
    REQUIRE_TOOLS();
    const std::vector<std::string> runs[] = {
        {"dac", "-u"}, {"biasset", "VPIX", "450"}, {"regdump", "-i", "-d", "0x50", "-c", "8"}, {"update", "-r", "-e"}};
    for (const auto& argv : runs) {
        SimCamera bare, locked;
        ASSERT_EQ(::rmdir((bare.dir() + "/locks").c_str()), 0);
        Result r = bare.run(argv);
        Result l = locked.run(argv);
        EXPECT_TRUE(status_is(r, 0)) << argv[0];
        EXPECT_TRUE(stderr_is(r, l.err)) << argv[0];
        EXPECT_EQ(r.out, l.out) << argv[0];
        EXPECT_EQ(qxtest::traffic_summary(bare.trace()), qxtest::traffic_summary(locked.trace())) << argv[0];
        struct stat st;
        ASSERT_EQ(::lstat((bare.dir() + "/locks").c_str(), &st), 0) << argv[0];
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0755u & ~current_umask()) << argv[0];
    }
}

// What another user could leave where a tool opens its lock files. Each is
// refused at once (never waited on, never followed) with one line naming
// the path and what is wrong; the transaction touches nothing, and nothing
// is created where a link points.
struct Planted {
    const char* name;
    const char* problem;
    bool needs_root;  // a file of another user can only be made by root
    void (*plant)(const std::string& path, const std::string& elsewhere);
};

const Planted planted_files[] = {
    {"symlink", "is a symbolic link", false,
     [](const std::string& path, const std::string& elsewhere) { ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0); }},
    {"fifo", "is not a regular file", false,
     [](const std::string& path, const std::string&) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
    {"directory", "is a directory", false,
     [](const std::string& path, const std::string&) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); }},
    {"readable_by_others", "is open to other users (mode 0644)", false,
     [](const std::string& path, const std::string&) {
         int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(::fchmod(fd, 0644), 0);
         ::close(fd);
     }},
    {"other_owner", "belongs to uid 65534, not 0", true,
     [](const std::string& path, const std::string&) {
         int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
         ::close(fd);
     }},
};

const char REFUSED[] = "bool tool_lock_take(tool_lock_id, bool): /run/qx-tools/";

TEST(ToolLocks, planted_lock_and_gate_files_are_refused_at_once_and_nothing_is_written)
{
    REQUIRE_TOOLS();
    const struct {
        const char* file;
        std::vector<std::string> argv;
        uint32_t master;
        std::string out, err_after;
    } targets[] = {
        {"qx-i2c-isb.lock", {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"}, 0x180, "",
         "Unable to read address 0x04\n"},
        {"qx-i2c-isb.gate", {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"}, 0x180, "",
         "Unable to read address 0x04\n"},
        {"qx-i2c-isb.lock", {"dac", "-u"}, 0x180, "void dac_powerup(): I/O error\n", ""},
        {"qx-i2c-isb.gate", {"biasset", "VPIX", "450"}, 0x180, "", "Unable to write VPIX through /proc/qx_pci/regs!\n"},
        {"qx-i2c-main.lock", {"regdump", "-d", "0x20", "-c", "1"}, 0x160, "", "Unable to read address 0x00\n"},
        {"qx-i2c-isb.lock", {"update", "-r", "-e"}, 0x180, "", std::string("Unable to read address 0x04\n") + UPDATE_USAGE},
        // A refused flash lock ends the run before the register device is opened.
        {"qx-flash.lock", {"update", "-r", "-e"}, 0x1000, "", ""},
    };
    for (const Planted& p : planted_files) {
        if (p.needs_root && ::geteuid() != 0) {
            std::printf("skipped: planting a file of another user (%s) needs root\n", p.name);
            continue;
        }
        for (const auto& t : targets) {
            SimCamera sim;
            const std::string elsewhere = sim.dir() + "/elsewhere";
            p.plant(sim.dir() + "/locks/" + t.file, elsewhere);
            const auto start = std::chrono::steady_clock::now();
            Result r = sim.run(t.argv);
            const auto took = std::chrono::steady_clock::now() - start;
            const std::string what = std::string(p.name) + " as " + t.file + " for " + t.argv[0];
            EXPECT_TRUE(status_is(r, 1)) << what;
            EXPECT_TRUE(stdout_is(r, t.out)) << what;
            EXPECT_TRUE(stderr_is(r, REFUSED + std::string(t.file) + " " + p.problem + "; refused.\n" + t.err_after))
                << what;
            EXPECT_EQ(master_accesses(sim.trace(), t.master), 0u) << what;
            EXPECT_LT(took, std::chrono::seconds(2)) << what << ": refused at once, not after the wait";
            EXPECT_NE(::access(elsewhere.c_str(), F_OK), 0) << what << ": nothing created where a link points";
        }
    }
}

// The folder itself: only a directory of root (or of the tools' own user)
// that no one else may write is used.
TEST(ToolLocks, a_lock_folder_that_others_could_write_or_that_is_a_link_is_refused)
{
    REQUIRE_TOOLS();
    const struct {
        const char* name;
        const char* problem;
        void (*plant)(const std::string& locks);
    } folders[] = {
        {"world_writable", "is open to other users (mode 1777)",
         [](const std::string& locks) { ASSERT_EQ(::chmod(locks.c_str(), 01777), 0); }},
        {"symlink", "is a symbolic link",
         [](const std::string& locks) {
             ASSERT_EQ(::rename(locks.c_str(), (locks + ".real").c_str()), 0);
             ASSERT_EQ(::symlink((locks + ".real").c_str(), locks.c_str()), 0);
         }},
        {"file", "is not a directory",
         [](const std::string& locks) {
             ASSERT_EQ(::rmdir(locks.c_str()), 0);
             ::close(::open(locks.c_str(), O_CREAT | O_WRONLY, 0600));
         }},
        {"other_owner", "belongs to uid 65534, not 0",
         [](const std::string& locks) { ASSERT_EQ(::chown(locks.c_str(), 65534, 65534), 0); }},
    };
    for (const auto& f : folders) {
        if (std::string(f.name) == "other_owner" && ::geteuid() != 0) {
            std::printf("skipped: a lock folder of another user needs root\n");
            continue;
        }
        SimCamera sim;
        f.plant(sim.dir() + "/locks");
        Result r = sim.run({"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"});
        EXPECT_TRUE(status_is(r, 1)) << f.name;
        EXPECT_TRUE(stderr_is(r, std::string("bool tool_lock_take(tool_lock_id, bool): /run/qx-tools ") + f.problem +
                                     "; refused.\nUnable to read address 0x04\n"))
            << f.name;
        EXPECT_EQ(master_accesses(sim.trace(), 0x180), 0u) << f.name;
    }
}

// The tools make their files 0600 in a folder only their user may write:
// another user cannot even open them, so cannot hold them either.
TEST(ToolLocks, an_unprivileged_process_cannot_open_the_lock_files)
{
    REQUIRE_TOOLS();
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a process as another user";
    if (std::system("command -v setpriv >/dev/null") != 0)
        GTEST_SKIP() << "setpriv (util-linux) is missing";
    SimCamera sim;
    ASSERT_TRUE(status_is(sim.run({"dac", "-u"}), 0));
    ASSERT_EQ(::chmod(sim.dir().c_str(), 0755), 0);  // only the files' own modes stand in the way
    const std::string lock = sim.dir() + "/locks/qx-i2c-isb.lock";
    struct stat st;
    ASSERT_EQ(::stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups -- sh -c 'exec 3<\"" + lock + "\"'";
    EXPECT_NE(sim.shell(as_nobody).status, 0);
    // The complement: were the file open to others, the same user could.
    ASSERT_EQ(::chmod(lock.c_str(), 0644), 0);
    EXPECT_TRUE(status_is(sim.shell(as_nobody), 0));
}

// Killed with SIGKILL inside a transaction (a power cut at the command
// word) or inside an update: the kernel drops the lock with the process.
TEST(ToolLocks, a_holder_killed_with_sigkill_leaves_the_lock_free)
{
    REQUIRE_TOOLS();
    SimCamera sim;
    // dac -u: bus check, then per write 1 status read and 3 writes; the
    // fifth access is the first write's command word.
    sim.fault("power-cut", {"5"});
    Result killed = sim.run({"dac", "-u"});
    EXPECT_EQ(killed.signal, 9);
    EXPECT_EQ(sim.lock_holder("i2c-isb"), 0);
    ASSERT_TRUE(status_is(sim.cli({"boot"}), 0)) << "the power comes back";
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
    REQUIRE_TOOLS();
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
    REQUIRE_TOOLS();
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
    EXPECT_NE(show.find("Tool locks (locks/, /run/qx-tools on the camera):\n"), std::string::npos) << show;
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
