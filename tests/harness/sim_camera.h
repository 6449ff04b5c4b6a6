// Test harness: a fresh simulated camera per test, the real tool binaries
// run against it, and the camera's trace parsed for traffic checks.
#pragma once

#include "qxsim/model/camera/camera.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qxtest {

// Path of a tool built by this project ("regdump", "update", "dac",
// "biasset", "chanmask"), or "" when that tool is not part of the build.
std::string tool_path(const std::string& name);

// Skips the test when a tool is not part of this build.
#define REQUIRE_TOOL(name)                                                                                             \
    do {                                                                                                               \
        if (qxtest::tool_path(name).empty())                                                                           \
            GTEST_SKIP() << (name) << " is not in this build";                                                          \
    } while (0)

// ---- files ----

// A whole file (binary), "" when it cannot be read.
std::string read_file(const std::string& path);
// The file made to hold exactly `data`; a failure fails the test.
void write_file(const std::string& path, const std::string& data);
void write_file(const std::string& path, const std::vector<uint8_t>& data);
bool contains(const std::string& text, const std::string& part);

// A fresh folder under $TMPDIR (else /tmp), removed with what it holds at the
// end of the scope (kept with QXTEST_KEEP=1).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};
std::string qxsim_path();
std::string preload_path();

struct Result {
    int status = -1;     // exit status, or 128 + signal number when killed
    int signal = 0;      // the signal that ended the process, 0 if it exited
    std::string out;
    std::string err;
};

// One line of trace.log.
struct TraceRecord {
    pid_t pid = 0;
    uint64_t time_ns = 0;  // CLOCK_MONOTONIC of the access
    char kind = 0;       // 'R' read, 'W' write, 'P' proc line, 'O' open, 'C' close, '?' unreadable line
    uint32_t reg = 0;    // R, W, and accepted P lines
    uint32_t value = 0;
    int error = 0;       // errno of a failed access or open ("E5")
    bool refused = false;  // "P!": proc buffer refused
    bool killed = false;   // "K": power cut at this access
    std::string text;    // P: the line as received; O/C: the path
    std::string line;    // the raw trace line
};

struct SimOptions {
    std::string sensor = "LUX13HS-C";  // name, 4 characters or a number (as `qxsim create`)
    bool trace = true;
};

// One of the tools' locks held by the test process, standing for another
// tool ("i2c-main", "i2c-isb", "i2c-iob", "flash", as `qxsim lock`). The
// tools the test runs do not inherit it. Released by release() or at
// destruction.
class LockHold {
public:
    explicit LockHold(int fd = -1) : fd_(fd) {}
    ~LockHold() { release(); }
    LockHold(LockHold&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;
    LockHold& operator=(LockHold&&) = delete;
    bool held() const { return fd_ >= 0; }
    void release();

private:
    int fd_;
};

class SimCamera;

// The camera's hardware set up through its own interface, as `qxsim set`,
// `qxsim flash` and `qxsim fault` set it up, for a test to start from:
//   sim.setup().sensor("LINCE5M-M").device(qxsim::BUS_ISB, 0x2a, 16, "probe").device_register(qxsim::BUS_ISB, 0x2a, 3, 0xbeef);
// A step that does not take fails the test.
class Setup {
public:
    explicit Setup(SimCamera& sim) : sim_(sim) {}
    Setup& sensor(const std::string& name);  // as `qxsim create --sensor`
    Setup& ident_register(uint8_t reg, uint8_t value);
    Setup& i2c_bus(bool on);
    // A register device of `bits` 8, 16 or 32 (its registers filled with
    // their power-on pattern), or none there.
    Setup& device(qxsim::Bus bus, uint8_t addr, unsigned bits, const std::string& label = "");
    Setup& no_device(qxsim::Bus bus, uint8_t addr);
    Setup& device_register(qxsim::Bus bus, uint8_t addr, uint8_t reg, uint32_t value);
    // The front end's `flash` and `fault` commands: "id 0x20", "protect 0x68",
    // "load ADDR FILE", "timing datasheet".
    Setup& flash(const std::vector<std::string>& args);
    Setup& fault(const std::string& name, const std::vector<std::string>& args = {});
    Setup& poke(uint32_t reg, uint32_t value);

private:
    SimCamera& sim_;
};

class SimCamera {
public:
    SimCamera();
    explicit SimCamera(const SimOptions& options);
    ~SimCamera();
    SimCamera(const SimCamera&) = delete;
    SimCamera& operator=(const SimCamera&) = delete;

    const std::string& dir() const { return dir_; }

    // `qxsim --state DIR ARGS...`
    Result cli(const std::vector<std::string>& args) const;
    // A tool (name from tool_path, or a path) with the interposer loaded and
    // QXSIM_STATE set; `input` is its standard input.
    Result run(const std::vector<std::string>& argv, const std::string& input = "") const;
    // `/bin/sh -c COMMAND` against the camera.
    Result shell(const std::string& command) const;
    // For code under test that starts shells itself (chanmask's system()):
    // LD_PRELOAD and QXSIM_STATE in this process's environment, inherited
    // by its children, until the camera goes. The test process itself is
    // not interposed.
    void export_environment();

    // The camera model in this process, for state checks.
    qxsim::Camera& model();
    // Setting up its hardware (see Setup).
    Setup setup() { return Setup(*this); }
    // Sets a fault (see `qxsim fault list`); a bad name fails the test.
    void fault(const std::string& name, const std::vector<std::string>& args = {});
    void clear_faults();
    uint32_t peek(uint32_t reg);
    void poke(uint32_t reg, uint32_t value);
    std::string show();

    // Takes one of the tools' locks without waiting; a lock held elsewhere
    // fails the test.
    LockHold hold_lock(const std::string& name);
    // Pid holding that lock (from /proc/locks), 0 when it is free.
    pid_t lock_holder(const std::string& name);

    std::vector<TraceRecord> trace() const;
    void clear_trace();

private:
    std::string dir_;
    std::unique_ptr<qxsim::Camera> model_;
    bool exported_ = false;
};

// ---- trace helpers ----

// One trace.log line (qxsim/trace/trace_format.h) with its text copied out.
TraceRecord parse_trace_line(const std::string& line);
// Only register traffic: R, W and accepted P records.
std::vector<TraceRecord> register_traffic(const std::vector<TraceRecord>& trace);
// Values written to `reg`, by ioctl or proc line, in order.
std::vector<uint32_t> writes_to(const std::vector<TraceRecord>& trace, uint32_t reg);
// Number of successful reads of `reg`.
size_t reads_of(const std::vector<TraceRecord>& trace, uint32_t reg);
// Accepted proc lines, as received.
std::vector<std::string> proc_lines(const std::vector<TraceRecord>& trace);
// Lines of refused proc buffers, as received (control bytes as \xNN).
std::vector<std::string> refused_proc_lines(const std::vector<TraceRecord>& trace);
// "W 0x180 0x50111" style summary of register traffic, one string per access,
// handy for EXPECT_EQ on a whole sequence.
std::vector<std::string> traffic_summary(const std::vector<TraceRecord>& trace);

// ---- assertions ----

::testing::AssertionResult stdout_is(const Result& r, const std::string& expected);
::testing::AssertionResult stderr_is(const Result& r, const std::string& expected);
::testing::AssertionResult status_is(const Result& r, int expected);
// Parts of a stream, for output whose rest is not the test's business.
::testing::AssertionResult stdout_contains(const Result& r, const std::string& part);
::testing::AssertionResult stdout_starts_with(const Result& r, const std::string& head);
::testing::AssertionResult stdout_ends_with(const Result& r, const std::string& tail);
::testing::AssertionResult stderr_contains(const Result& r, const std::string& part);

}  // namespace qxtest
