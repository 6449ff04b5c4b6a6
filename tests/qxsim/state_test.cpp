// The camera's state folder: persistence across processes, several
// processes at once, processes killed in the middle of an access, race-free
// creation, refusal of another layout.
#include "reg_client.h"

#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/flash/flash_store.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(State, registers_persist_across_processes_and_openers)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    sim.run({client, "open", "w", "0x8000", "0x1234"});
    EXPECT_TRUE(stdout_is(sim.run({client, "open", "r", "0x8000"}), "open ok\nr 0x8000 = 0x1234\n"));
    std::string err;
    auto other = qxsim::Camera::open(sim.dir(), &err);
    ASSERT_TRUE(other) << err;
    EXPECT_EQ(other->peek(0x8000), 0x1234u);
}

TEST(State, another_layout_is_refused_with_a_way_out)
{
    SimCamera sim;
    {
        auto lock = sim.model().lock();
        sim.model().state().core.version += 1;
    }
    std::string err;
    EXPECT_FALSE(qxsim::Camera::open(sim.dir(), &err));
    EXPECT_NE(err.find("re-create the camera"), std::string::npos) << err;
    ASSERT_EQ(::truncate((sim.dir() + "/camera.state").c_str(), 100), 0);
    EXPECT_FALSE(qxsim::Camera::open(sim.dir(), &err));
    EXPECT_NE(err.find("another version"), std::string::npos) << err;
}

// A damaged camera folder gives a clear line naming the file, never a
// signal, and is never taken for a good camera: a FIFO head out of range
// in camera.state is used within the FIFO; a missing, short or odd
// flash.bin or camera.state is refused (not made anew as erased flash),
// also by a tool's open through the interposer once the camera is in use.
TEST(State, damaged_files_give_a_clear_line_and_never_a_signal)
{
    struct Case {
        const char* name;
        std::function<void(const std::string& dir)> damage;
        const char* refusal;  // "" when the camera still opens
    };
    const Case cases[] = {
        {"FIFO head and level out of range",
         [](const std::string& dir) {
             int fd = ::open((dir + "/camera.state").c_str(), O_WRONLY);
             const uint32_t bad[2] = {0x7fffffff, 0xfffffff0};  // head, level
             ASSERT_EQ(::pwrite(fd, bad, sizeof bad, offsetof(qxsim::CameraState, asmi.rd.head)), 8);
             ASSERT_EQ(::pwrite(fd, bad, sizeof bad, offsetof(qxsim::CameraState, asmi.wr.head)), 8);
             ::close(fd);
         },
         ""},
        {"flash.bin deleted", [](const std::string& dir) { ::unlink((dir + "/flash.bin").c_str()); },
         "/flash.bin is missing: the flash array is lost"},
        {"flash.bin cut short",
         [](const std::string& dir) { ASSERT_EQ(::truncate((dir + "/flash.bin").c_str(), 4096), 0); },
         "/flash.bin is 4096 bytes, not the flash's 134217728"},
        {"camera.state a FIFO",
         [](const std::string& dir) {
             ::unlink((dir + "/camera.state").c_str());
             ASSERT_EQ(::mkfifo((dir + "/camera.state").c_str(), 0644), 0);
         },
         "/camera.state is not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
        EXPECT_TRUE(stdout_is(sim.run({client, "open"}), "open ok\n"));
        c.damage(sim.dir());
        const bool refused = *c.refusal != 0;
        Result shown = sim.cli({"show"});
        EXPECT_EQ(shown.signal, 0);
        if (refused) {
            EXPECT_FALSE(qxtest::contains(shown.out, "intact")) << "no boot verdict without the array";
            EXPECT_TRUE(status_is(shown, 1));
            EXPECT_TRUE(qxtest::stderr_contains(shown, sim.dir() + c.refusal));
        }
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"peek", "ASMI_RD_FIFO"}, {"peek", "ASMI_WR_FIFO_LEVEL"}, {"poke", "ASMI_WR_FIFO", "1"}}) {
            Result r = sim.cli(command);
            EXPECT_EQ(r.signal, 0) << command[1];
            EXPECT_TRUE(status_is(r, refused ? 1 : 0));
        }
        Result tool = sim.run({client, "open", "r", "0x101c", "r", "0x1020", "w", "0x1014", "7", "r", "0x1018"});
        EXPECT_EQ(tool.signal, 0);
        if (refused) {
            EXPECT_TRUE(qxtest::stdout_starts_with(tool, "open: errno "));
            EXPECT_TRUE(qxtest::stderr_contains(tool, c.refusal));
            struct stat st;
            const bool flash = std::string(c.refusal).find("flash") != std::string::npos;
            EXPECT_FALSE(flash && ::stat((sim.dir() + "/flash.bin").c_str(), &st) == 0 &&
                         st.st_size == qxsim::FlashStore::kSize)
                << "the array is not made anew";
        } else {
            EXPECT_TRUE(stdout_is(tool, "open ok\nr 0x101c = 0x0\nr 0x1020 = 0x3e\nw 0x1014 ok\nr 0x1018 = 0x40\n"));
        }
    }
    // One in use whose flash.bin shrinks: its next open through the
    // interposer says so (ENODEV); a process started since finds no camera.
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    Result r = sim.run({client, "open", "system", "truncate -s 4096 '" + sim.dir() + "/flash.bin'", "open"});
    EXPECT_TRUE(stdout_is(r, "open ok\nsystem 0\nopen: errno 19\n"));
    EXPECT_TRUE(qxtest::stderr_contains(r, "/flash.bin is 4096 bytes, not the flash's 134217728"));
    r = sim.run({client, "open"});
    EXPECT_TRUE(stdout_is(r, "open: errno 2\n"));
    EXPECT_TRUE(qxtest::stderr_contains(r, "/flash.bin is 4096 bytes, not the flash's 134217728"));
}

TEST(State, create_refuses_an_existing_camera_unless_forced)
{
    SimCamera sim;
    sim.poke(0x8000, 1);
    std::string err;
    EXPECT_FALSE(qxsim::Camera::create(sim.dir(), qxsim::CreateOptions(), &err));
    EXPECT_NE(err.find("already exists"), std::string::npos) << err;
    EXPECT_EQ(sim.peek(0x8000), 1u);
    qxsim::CreateOptions force;
    force.force = true;
    EXPECT_TRUE(qxsim::Camera::create(sim.dir(), force, &err)) << err;
    auto fresh = qxsim::Camera::open(sim.dir(), &err);
    ASSERT_TRUE(fresh) << err;
    EXPECT_EQ(fresh->peek(0x8000), 0u);
}

TEST(State, simultaneous_creators_yield_one_camera)
{
    qxtest::TempDir tmp;
    const std::string dir = tmp.path() + "/cam";
    std::vector<pid_t> kids;
    for (int i = 0; i < 6; i++) {
        pid_t pid = ::fork();
        if (pid == 0) {
            std::string err;
            ::_exit(qxsim::Camera::create(dir, qxsim::CreateOptions(), &err) ? 0 : 1);
        }
        kids.push_back(pid);
    }
    int created = 0;
    for (pid_t pid : kids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        created += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    EXPECT_EQ(created, 1);
    std::string err;
    EXPECT_TRUE(qxsim::Camera::open(dir, &err)) << err;
}

TEST(State, concurrent_processes_and_a_shell_child_lose_no_access)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    const int per_process = 20000;
    std::vector<pid_t> kids;
    for (int i = 0; i < 3; i++) {
        pid_t pid = ::fork();
        if (pid == 0) {
            std::string reg = std::to_string(0x8100 + 4 * i);
            std::string err;
            auto cam = qxsim::Camera::open(sim.dir(), &err);
            for (int k = 1; k <= per_process; k++)
                if (!cam || cam->reg_write(0x8100 + 4 * i, k) != 0)
                    ::_exit(1);
            ::_exit(0);
        }
        kids.push_back(pid);
    }
    // meanwhile a tool-like process and its shell child
    Result r = sim.shell(client + " open hammer 20000 0x184 w 0x8200 0x1 & "
                                  "for i in 1 2 3 4 5; do echo w 0x8204 $i > /proc/qx_pci/regs; done; wait");
    EXPECT_TRUE(status_is(r, 0));
    for (pid_t pid : kids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(sim.peek(0x8100 + 4 * i), uint32_t(per_process));
    EXPECT_EQ(sim.peek(0x8200), 1u);
    EXPECT_EQ(sim.peek(0x8204), 5u);
    auto lock = sim.model().lock();
    const qxsim::CoreState& c = sim.model().state().core;
    EXPECT_EQ(c.writes, 3u * per_process + 1);
    EXPECT_EQ(c.reads, 20000u);
    EXPECT_EQ(c.proc_lines, 5u);
    EXPECT_EQ(c.accesses, c.reads + c.writes + c.proc_lines);
}

TEST(State, owner_killed_holding_the_lock_is_recovered_by_the_next_locker)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    pid_t pid = ::fork();
    if (pid == 0) {
        std::string err;
        auto cam = qxsim::Camera::open(sim.dir(), &err);
        auto lock = cam->lock();
        ::kill(::getpid(), SIGKILL);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    Result r = sim.run({client, "open", "w", "0x8000", "3", "r", "0x8000"});
    EXPECT_TRUE(stdout_is(r, "open ok\nw 0x8000 ok\nr 0x8000 = 0x3\n"));
    auto lock = sim.model().lock();
    EXPECT_EQ(sim.model().state().core.lock_recoveries, 1u);
}

TEST(State, processes_killed_while_hammering_leave_a_usable_camera)
{
    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    std::vector<pid_t> kids;
    for (int i = 0; i < 3; i++) {
        pid_t pid = ::fork();
        if (pid == 0) {
            // an I2C transaction loop, like a tool polling a master
            std::string err;
            auto cam = qxsim::Camera::open(sim.dir(), &err);
            for (uint32_t k = 0;; k++) {
                uint32_t v = 0;
                cam->reg_write(0x188, k & 7);
                cam->reg_write(0x180, 0x50111);
                cam->reg_read(0x184, &v);
                cam->reg_read(0x190, &v);
                cam->reg_write(0x8300 + 4 * static_cast<uint32_t>(i), k);
            }
        }
        kids.push_back(pid);
    }
    // let them get going (the kill lands wherever each one is)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (pid_t pid : kids)
        ::kill(pid, SIGKILL);
    for (pid_t pid : kids)
        ::waitpid(pid, nullptr, 0);
    // the next opener works, and the master answers a whole transaction
    Result r = sim.run({client, "open", "w", "0x188", "4", "w", "0x180", "0x50111", "r", "0x184", "r", "0x190"});
    EXPECT_TRUE(stdout_is(r, "open ok\nw 0x188 ok\nw 0x180 ok\nr 0x184 = 0x0\nr 0x190 = 0x43\n"));
    auto lock = sim.model().lock();
    const qxsim::CoreState& c = sim.model().state().core;
    EXPECT_GT(c.accesses, 4u);
    // a process killed inside an access may leave its counters one apart
    EXPECT_LE(c.accesses - (c.reads + c.writes), 3u);
}

}  // namespace
