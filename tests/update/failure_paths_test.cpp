// Failure paths of update that the tool's own tests leave out: the FIFO
// level checks around every pass and the offset record, completion waits
// that run out, a refused offset record, an erase that never ends and a
// failed reconfiguration. Each is produced on the camera and judged by its
// lines, the exit status and what the flash and FPGA were left with. The
// matrix of every failure row and its test is FAILURE_MATRIX.md.
#include "update_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::SimOptions;
using namespace update_test;

// One 256-byte block: one write-FIFO level read before programming, one
// after the push, one after the write, one before verification, one before
// and one after the record push.
std::string one_block_image(SimCamera& sim)
{
    std::vector<uint8_t> v(256);
    for (size_t i = 0; i < v.size(); i++)
        v[i] = uint8_t(i * 37 + 11);
    std::string path = sim.dir() + "/block.bin";
    qxtest::write_file(path, v);
    return path;
}

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The first status read after the command `cmd` in an uncut verbose run of
// the one-block image on a twin camera.
size_t status_read_after(uint32_t cmd)
{
    SimCamera twin;
    EXPECT_TRUE(qxtest::status_is(twin.run({"update", "-v", one_block_image(twin)}), 0));
    bool seen = false;
    size_t n = access_number(twin.trace(), [&](const TraceRecord& t) {
        seen |= t.kind == 'W' && t.reg == qxsim::ASMI_CMD && t.value == cmd;
        return seen && t.kind == 'R' && t.reg == qxsim::ASMI_STATUS;
    });
    EXPECT_GT(n, 0u) << "no such access in the reference run";
    return n;
}


}  // namespace

TEST(UpdateFailurePaths, fifo_level_checks_stop_the_pass_they_guard_and_leave_no_record)
{
    REQUIRE_TOOL("update");
    const struct {
        const char* nth;  // which write-FIFO level read is one off
        const char* tail;
    } cases[] = {
        {"2", "Somethings wrong, FIFO level = 1\nUnable to program the application image!\nBail...\n"},
        {"5", "Somethings wrong, WR_FIFO level = 1\nUnable to verify the application image!\nBail...\n"},
        {"6", "Somethings wrong, FIFO level = 1\nUnable to program the offset value!\nBail...\n"},
        {"7", "FIFO level isn't correct! (4 != 3)\nUnable to program the offset value!\nBail...\n"},
    };
    for (const auto& c : cases) {
        SimCamera sim;
        std::string image = one_block_image(sim);
        sim.fault("asmi.fifo-level", {"wr", "1", c.nth});
        Result r = sim.run({"update", "-v", image});
        EXPECT_TRUE(qxtest::status_is(r, 1)) << c.nth;
        EXPECT_TRUE(qxtest::stdout_ends_with(r, c.tail)) << c.nth << "\n" << r.out;
        EXPECT_TRUE(qxtest::stderr_is(r, "")) << c.nth;
        auto t = sim.trace();
        EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_PROTECT_CODE), std::vector<uint32_t>{0x68}) << "left unlocked";
        EXPECT_TRUE(qxtest::writes_to(t, qxsim::ASMI_RECONFIG).empty()) << c.nth;
        EXPECT_EQ(flash_holds(sim, qxsim::OFFSET_RECORD_ADDR, 12), ERASED_RECORD) << c.nth;
        EXPECT_TRUE(qxtest::status_is(sim.cli({"power-cycle"}), 0));
        EXPECT_EQ(booted(sim).image, qxsim::BOOT_FACTORY) << c.nth;
    }
}

TEST(UpdateFailurePaths, fifo_levels_off_after_a_block_are_reported_and_the_update_completes)
{
    REQUIRE_TOOL("update");
    const struct {
        std::vector<std::string> fault;
        const char* line;
    } cases[] = {
        {{"wr", "1", "4"}, "0x02000000: FIFO level = 1 (0x1)\n"},
        {{"rd", "1", "3"}, "0x02000000: FIFO level wrong: 65 != 64\n"},
        // Before the unlock: cleared with the clear pulse, then empty.
        {{"wr", "1", "1"}, "FIFOs not empty (write 1, read 0 words): clearing them\n"},
    };
    for (const auto& c : cases) {
        SimCamera sim;
        std::string image = one_block_image(sim);
        sim.fault("asmi.fifo-level", c.fault);
        Result r = sim.run({"update", "-v", image});
        EXPECT_TRUE(qxtest::status_is(r, 0)) << c.line;
        EXPECT_TRUE(qxtest::stdout_contains(r, c.line));
        EXPECT_TRUE(qxtest::stdout_contains(r, "Verification complete"));
        EXPECT_EQ(flash_holds(sim, qxsim::OFFSET_RECORD_ADDR, 12), VALID_RECORD);
        EXPECT_EQ(booted(sim).image, qxsim::BOOT_APPLICATION);
    }
}

TEST(UpdateFailurePaths, completion_waits_that_run_out_stop_programming_and_verification)
{
    REQUIRE_TOOL("update");
    const struct {
        uint32_t cmd;
        const char* err;
        const char* tail;
    } cases[] = {
        // Write wait: the status read fails, the one after it shows no
        // write error: no line of its own.
        {qxsim::ASMI_WRITE | qxsim::ASMI_IMAGE_DATA,
         "ERROR#5 at bool fpga_read_reg(uint32_t, uint32_t*)#200: Input/output error\n",
         "Unable to program the application image!\nBail...\n"},
        {qxsim::ASMI_READ | qxsim::ASMI_IMAGE_DATA,
         "ERROR#5 at bool fpga_read_reg(uint32_t, uint32_t*)#200: Input/output error\n",
         "fpga_readwait() failed!\nUnable to verify the application image!\nBail...\n"},
    };
    for (const auto& c : cases) {
        size_t n = status_read_after(c.cmd);
        SimCamera sim;
        std::string image = one_block_image(sim);
        sim.fault("eio-at", {std::to_string(n)});
        Result r = sim.run({"update", "-v", image});
        EXPECT_TRUE(qxtest::status_is(r, 1)) << c.cmd;
        EXPECT_TRUE(qxtest::stderr_is(r, c.err)) << c.cmd;
        EXPECT_TRUE(qxtest::stdout_ends_with(r, c.tail)) << c.cmd << "\n" << r.out;
        EXPECT_EQ(flash_holds(sim, qxsim::OFFSET_RECORD_ADDR, 12), ERASED_RECORD);
        EXPECT_TRUE(qxtest::writes_to(sim.trace(), qxsim::ASMI_RECONFIG).empty());
    }
}

TEST(UpdateFailurePaths, refused_offset_record_is_reported_and_clears_the_write_error)
{
    REQUIRE_TOOL("update");
    SimCamera sim;
    std::string image = one_block_image(sim);
    sim.fault("asmi.write-error", {"0x7fffff0"});
    Result r = sim.run({"update", "-v", image});
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(qxtest::stdout_ends_with(r, "Write to addr 0x07fffff0 FAILED!\nUnable to program the offset value!\nBail...\n"))
        << r.out;
    auto t = sim.trace();
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_STATUS), std::vector<uint32_t>{qxsim::ASMI_STATUS_WRITE_ERR});
    EXPECT_EQ(sim.peek(qxsim::ASMI_STATUS) & qxsim::ASMI_STATUS_WRITE_ERR, 0u);
    EXPECT_EQ(flash_holds(sim, qxsim::OFFSET_RECORD_ADDR, 12), ERASED_RECORD);
    EXPECT_EQ(flash_holds(sim, qxsim::APP_REGION_BASE, 4), std::string("\x0b\x30\x55\x7a", 4))
        << "the image itself is in flash";
    EXPECT_TRUE(qxtest::status_is(sim.cli({"power-cycle"}), 0));
    EXPECT_EQ(booted(sim).image, qxsim::BOOT_FACTORY);
}

TEST(UpdateFailurePaths, failed_reconfiguration_write_says_failed_then_done)
{
    REQUIRE_TOOL("update");
    SimCamera sim;
    std::string image = one_block_image(sim);
    sim.fault("eio-reg", {"0x1040", "write"});
    Result r = sim.run({"update", "-v", image});
    // The image is in flash and verified, but the FPGA still runs the old one.
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(qxtest::stdout_ends_with(r, "Reconfigure starting\nFailed.\nDone\n")) << r.out;
    EXPECT_TRUE(qxtest::stderr_is(r, "ERROR#5 at bool fpga_write_reg(uint32_t, uint32_t)#158: Input/output error\n"));
    auto lock = sim.model().lock();
    EXPECT_EQ(sim.model().asmi().flash().status_reg(), 0x5C) << "locked before the restart";
    EXPECT_EQ(sim.model().asmi().boot().state().cause, qxsim::BOOT_BY_POWER_ON) << "the FPGA was not restarted";
}

TEST(UpdateFailurePaths, read_error_in_the_image_stops_the_pass_it_hits)
{
    REQUIRE_TOOL("update");
    const struct {
        unsigned open;  // the pass whose stream fails after its first block
        const char* tail;
    } cases[] = {
        {2, "Error reading file!\nUnable to program the application image!\nBail...\n"},
        {3, "Error reading file!\nUnable to verify the application image!\nBail...\n"},
    };
    for (const auto& c : cases) {
        SimCamera sim;
        std::vector<uint8_t> v(1000, 0x42);
        std::string path = sim.dir() + "/app.bin";
        qxtest::write_file(path, v);
        Result r = sim.shell("LD_PRELOAD=" QXTEST_FILE_SHIM ":$LD_PRELOAD QXTEST_SHIM_PATH='" + path +
                             "' QXTEST_SHIM_AT=" + std::to_string(c.open) + " QXTEST_SHIM_SIZE=eio exec '" +
                             qxtest::tool_path("update") + "' -v '" + path + "'");
        EXPECT_TRUE(qxtest::status_is(r, 1)) << c.open;
        std::string out = r.out;
        for (char& ch : out)
            if (ch == '\r')
                ch = '\n';
        EXPECT_TRUE(ends_with(out, c.tail)) << c.open << "\n" << out.substr(out.size() > 300 ? out.size() - 300 : 0);
        EXPECT_EQ(flash_holds(sim, qxsim::OFFSET_RECORD_ADDR, 12), ERASED_RECORD) << c.open;
        EXPECT_TRUE(qxtest::writes_to(sim.trace(), qxsim::ASMI_RECONFIG).empty()) << c.open;
    }
}
