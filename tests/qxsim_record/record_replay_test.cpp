// qxsim record and qxsim replay through the real binaries: sessions of the
// tools recorded with the simulated camera standing in for the driver, then
// held against a fresh camera and against cameras that differ.
#include "sim_camera.h"

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qxtest::contains;
using qxtest::read_file;
using qxtest::Result;
using qxtest::SimCamera;
using qxtest::SimOptions;
using qxtest::write_file;

// A small image for update: 4 KiB, no trailing 0xFF.
std::string small_image(const SimCamera& sim)
{
    std::string path = sim.dir() + "/small.rbf";
    std::string data(4096, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>((i * 7 + 3) & 0x7F);
    write_file(path, data);
    return path;
}

std::vector<qxtest::TraceRecord> parsed(const std::string& text)
{
    std::vector<qxtest::TraceRecord> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(qxtest::parse_trace_line(line));
    return out;
}

// The trace lines of what the driver saw, without their time field ("<pid>
// <kind> ..."): not the recording's version line, exit records and end mark,
// nor the devices' view of the I2C buses (I lines, the camera's alone).
std::vector<std::string> untimed(const std::string& text)
{
    std::vector<std::string> out;
    for (const qxtest::TraceRecord& t : parsed(text)) {
        if (t.kind == '#' || t.kind == 'X' || t.kind == 'Z' || t.kind == 'I')
            continue;
        size_t a = t.line.find(' ');
        size_t b = t.line.find(' ', a + 1);
        out.push_back(t.line.substr(0, a) + t.line.substr(b));
    }
    return out;
}

// The output line marked with '>' holds `part`.
bool marked_line_contains(const std::string& out, const std::string& part)
{
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("> ", 0) == 0 && contains(line, part))
            return true;
    return false;
}

// `qxsim --state DIR record -o FILE --sim -- ARGV...`
Result record(const SimCamera& sim, const std::string& file, const std::vector<std::string>& argv)
{
    std::vector<std::string> args = {"record", "-o", file, "--sim", "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    return sim.cli(args);
}

// `qxsim replay FILE`: against a fresh camera (no --state given).
Result replay_fresh(const SimCamera& sim, const std::string& file)
{
    return sim.run({qxtest::qxsim_path(), "replay", file});
}

}  // namespace

// The recorder's trace of a session equals the simulated camera's own
// trace of it, line for line but for the times: every process, in order,
// with what the driver answered. The shell case forks a subshell, leaves
// with _exit and execs a tool in the same process.
TEST(Record, writes_what_the_camera_itself_traced)
{
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        size_t processes;
    };
    const std::string regdump = qxtest::tool_path("regdump");
    const Case cases[] = {
        {"dac", {"dac", "-u"}, 1},
        {"every open variant",
         {QXSIM_REG_CLIENT, "open", "r", "0x4", "close", "open64", "r", "0x4", "close", "openat", "r", "0x4",
          "close", "open2", "r", "0x4", "close", "openat2", "w", "0x8000", "0x5", "close"},
         1},
        {"shell, subshell and exec",
         {"/bin/sh", "-c",
          "(echo w 0x8170 0x1 > /proc/qx_pci/regs); echo w 0x8170 0x2 > /proc/qx_pci/regs; exec " + regdump +
              " -i -d 0x50 -r 4 -c 2"},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimCamera sim;
        const std::string file = sim.dir() + "/session.trace";
        Result r = record(sim, file, c.argv);
        ASSERT_TRUE(qxtest::status_is(r, 0));
        EXPECT_TRUE(qxtest::stderr_is(r, ""));
        std::string recorded = read_file(file);
        std::string traced = read_file(sim.dir() + "/trace.log");
        EXPECT_GT(untimed(recorded).size(), 10u);
        EXPECT_EQ(untimed(recorded), untimed(traced));
        // every line parses, in time order; the processes as expected, each
        // with its exit record, the last one the end mark
        std::vector<qxtest::TraceRecord> t = parsed(recorded);
        ASSERT_GE(t.size(), 3u);
        EXPECT_EQ(t.front().line, "# qxsim recording 2");
        uint64_t last = 0;
        std::vector<pid_t> pids;
        std::vector<pid_t> exited;
        for (size_t i = 1; i < t.size(); i++) {
            ASSERT_NE(t[i].kind, '?') << t[i].line;
            EXPECT_GE(t[i].time_ns, last) << t[i].line;
            last = t[i].time_ns;
            if (t[i].kind == 'X')
                exited.push_back(t[i].pid);
            else if (t[i].kind != 'Z' && (pids.empty() || pids.back() != t[i].pid))
                pids.push_back(t[i].pid);
        }
        EXPECT_EQ(pids.size(), c.processes);
        for (pid_t p : pids)
            EXPECT_NE(std::find(exited.begin(), exited.end(), p), exited.end()) << "exit record of " << p;
        EXPECT_EQ(t.back().kind, 'Z');
        EXPECT_EQ(t.back().line.substr(t.back().line.rfind(" Z ")), " Z exit 0");
        EXPECT_NE(std::find(pids.begin(), pids.end(), t.back().pid), pids.end()) << "the recorded command";
    }
}

TEST(Record, takes_in_the_proc_lines_of_the_shells_a_tool_starts)
{
    SimCamera sim;
    const std::string file = sim.dir() + "/session.trace";
    Result r = record(sim, file, {"biasset", "VREF", "300"});
    ASSERT_TRUE(qxtest::status_is(r, 0));
    std::vector<qxtest::TraceRecord> recorded;
    for (const qxtest::TraceRecord& t : parsed(read_file(file)))
        if (t.kind == 'O' || t.kind == 'P')
            recorded.push_back(t);
    std::vector<std::string> expected = {"w 0x18c 0x4b00", "w 0x188 0x30", "w 0x180 0x10120"};
    EXPECT_EQ(qxtest::proc_lines(recorded), expected);
    EXPECT_EQ(qxtest::proc_lines(recorded), qxtest::proc_lines(sim.trace()));
    // one shell per line, each opening the proc file
    ASSERT_EQ(recorded.size(), 6u);
    for (size_t i = 0; i < recorded.size(); i += 2) {
        EXPECT_EQ(recorded[i].kind, 'O');
        EXPECT_EQ(recorded[i].text, "/proc/qx_pci/regs");
        EXPECT_EQ(recorded[i + 1].pid, recorded[i].pid);
    }
    EXPECT_NE(recorded[0].pid, recorded[2].pid);
}

// Each access carries the time it happened: dac's 10 ms pauses after each
// write show between the writes, and the erases of an update that never
// closes the device show before its last accesses.
TEST(Record, times_are_those_of_the_accesses_across_pauses_and_to_the_last_access)
{
    SimCamera sim;
    const std::string file = sim.dir() + "/session.trace";
    ASSERT_TRUE(qxtest::status_is(record(sim, file, {"dac", "-u"}), 0));
    std::vector<qxtest::TraceRecord> t = parsed(read_file(file));
    std::vector<uint64_t> commands;
    for (const qxtest::TraceRecord& x : t)
        if (x.kind == 'W' && x.reg == 0x180)
            commands.push_back(x.time_ns);
    ASSERT_EQ(commands.size(), 19u);
    for (size_t i = 1; i < commands.size(); i++)
        EXPECT_GE(commands[i] - commands[i - 1], 10000000u) << "write " << i;

    // Two sector erases of 20 ms each: the last access (the reconfiguration)
    // comes at least 40 ms after the first.
    ASSERT_TRUE(qxtest::status_is(sim.cli({"flash", "timing", "datasheet", "20000", "400", "400"}), 0));
    ASSERT_TRUE(qxtest::status_is(record(sim, file, {"update", "-e", small_image(sim)}), 0));
    t = parsed(read_file(file));
    uint64_t first = 0, reconfig = 0;
    for (const qxtest::TraceRecord& x : t) {
        if ((x.kind == 'R' || x.kind == 'W') && first == 0)
            first = x.time_ns;
        if (x.kind == 'W' && x.reg == 0x1040)
            reconfig = x.time_ns;
    }
    ASSERT_NE(reconfig, 0u);
    EXPECT_GE(reconfig - first, 40000000u);
}

TEST(Record, passes_on_the_tools_failure_and_a_killed_process)
{
    SimCamera sim;
    const std::string file = sim.dir() + "/session.trace";
    Result r = record(sim, file, {"regdump", "-i", "-d", "0x51", "-r", "0", "-c", "1"});
    EXPECT_TRUE(qxtest::status_is(r, 1));  // no device at 0x51: regdump's own failure
    EXPECT_TRUE(qxtest::stderr_is(r, "Unable to read address 0x00\n"));

    SimCamera cut;
    cut.fault("power-cut", {"5"});
    r = record(cut, file, {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"});
    EXPECT_TRUE(qxtest::status_is(r, 137));
    EXPECT_TRUE(contains(r.err, "was killed: the last accesses it made before it died may be missing from " + file))
        << r.err;

    r = sim.cli({"record", "-o", file, "--sim", "--", "no-such-tool"});
    EXPECT_TRUE(qxtest::status_is(r, 127));
    EXPECT_TRUE(contains(r.err, "cannot run no-such-tool")) << r.err;
    EXPECT_TRUE(qxtest::status_is(sim.cli({"record", "--sim", "--", "dac", "-u"}), 2));  // no -o
}

// Sessions that a fresh camera of the recorded sensor answers alike.
TEST(Replay, agrees_with_a_fresh_camera_of_the_recorded_sensor)
{
    struct Case {
        const char* sensor;
        std::vector<std::string> argv;  // "@image" is a small image file
        std::vector<std::string> fault;  // set while recording
        const char* counts;
    };
    const Case cases[] = {
        // not the default sensor
        {"LINCE5M-C", {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"}, {}, "  24 register accesses, 0 proc"},
        {"LUX19HS-M", {"update", "-v", "@image"}, {}, "register accesses, 0 proc lines replayed; 0 refused"},
        {"LUX13HS-C", {"dac", "-u"}, {}, "register accesses, 0 proc lines replayed; 0 refused"},
        {"LUX13HS-C", {"biasset", "VLN", "100"}, {}, "  0 register accesses, 3 proc lines replayed"},
        // an access the driver refused never reached the hardware
        {"LUX13HS-C", {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4", "-f"}, {"eio-at", "2"},
         "proc lines replayed; 1 refused in the recording"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv[0]);
        SimCamera sim(SimOptions{c.sensor, false});
        std::vector<std::string> argv = c.argv;
        for (std::string& a : argv)
            if (a == "@image")
                a = small_image(sim);
        if (!c.fault.empty())
            sim.fault(c.fault[0], {c.fault[1]});
        const std::string file = sim.dir() + "/session.trace";
        record(sim, file, argv);
        Result r = replay_fresh(sim, file);
        EXPECT_TRUE(qxtest::status_is(r, 0));
        EXPECT_EQ(r.out.rfind("model agrees\n", 0), 0u) << r.out;
        EXPECT_TRUE(contains(r.out, c.counts)) << r.out;
    }
}

TEST(Replay, names_the_first_real_difference)
{
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        std::vector<std::string> prepare;  // qxsim command for the camera replayed against
        const char* difference;
        const char* decoded;  // the decoded entry holding it, as recorded
    };
    const Case cases[] = {
        {"another sensor", {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"}, {"set", "sensor", "LINCE5M-C"},
         "R 0x00000190: the camera read 0x00000048, the model reads 0x00000035 (bits 0x0000007d differ)",
         "i2c-isb  read dev 0x50 reg 0x05 -> 0x48 (8 bit), ack"},
        {"another flash", {"update", "-v", "@image"}, {"flash", "id", "0x20"},
         "R 0x00001004: the camera read 0x00002100, the model reads 0x00002000 (bits 0x00000100 differ)",
         "flash    read ID -> 0x21 EPCQ-L1024"},
        {"a missing acknowledge", {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "1"},
         {"fault", "set", "i2c-isb.0x50.nak"},
         "R 0x00000184: the camera read 0x00000000, the model reads 0x40000000 (bits 0x40000000 differ)",
         "i2c-isb  read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack"},
        {"a failing erase", {"update", "-v", "@image"}, {"fault", "set", "asmi.erase-error", "0x2000000"},
         "R 0x00001004: the camera read 0x00002100, the model reads 0x00002102 (bits 0x00000002 differ)",
         "flash    erase sector 512 at 0x02000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimCamera sim(SimOptions{"LUX13HS-C", false});
        std::vector<std::string> argv = c.argv;
        for (std::string& a : argv)
            if (a == "@image")
                a = small_image(sim);
        const std::string file = sim.dir() + "/session.trace";
        ASSERT_TRUE(qxtest::status_is(record(sim, file, argv), 0));
        ASSERT_TRUE(qxtest::status_is(sim.cli({"create", "--force"}), 0));
        ASSERT_TRUE(qxtest::status_is(sim.cli(c.prepare), 0));
        Result r = sim.cli({"replay", file});
        EXPECT_TRUE(qxtest::status_is(r, 1));
        EXPECT_TRUE(contains(r.out, std::string(" of ") + file + ": " + c.difference)) << r.out;
        EXPECT_EQ(r.out.rfind("model differs at line ", 0), 0u) << r.out;
        // the recorded session around it, decoded and raw, the difference marked
        EXPECT_TRUE(marked_line_contains(r.out, c.decoded)) << r.out;
        EXPECT_TRUE(contains(r.out, "\nrecorded lines around it:\n")) << r.out;
    }
}

// A chip busy for more or fewer status polls than the model is timing.
TEST(Replay, tells_busy_polls_apart_as_timing)
{
    struct Case {
        const char* name;
        std::vector<std::string> record_fault;
        std::vector<std::string> replay_fault;
        const char* counts;
    };
    const Case cases[] = {
        {"hardware busy longer", {"i2c-isb.busy", "3"}, {}, "busy polls told apart as timing: 12 recorded beyond"},
        {"model busy longer", {}, {"i2c-isb.busy", "3"}, "recorded beyond the model, 12 of the model beyond"},
        {"flash busy longer", {"asmi.busy-reads", "2"}, {}, "busy polls told apart as timing: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimCamera sim(SimOptions{"LUX13HS-C", false});
        std::string image = small_image(sim);
        if (!c.record_fault.empty())
            sim.fault(c.record_fault[0], {c.record_fault[1]});
        const std::string file = sim.dir() + "/session.trace";
        std::vector<std::string> argv = {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"};
        if (c.record_fault.size() == 2 && c.record_fault[0] == "asmi.busy-reads")
            argv = {"update", "-v", image};
        ASSERT_TRUE(qxtest::status_is(record(sim, file, argv), 0));
        ASSERT_TRUE(qxtest::status_is(sim.cli({"create", "--force"}), 0));
        if (!c.replay_fault.empty())
            sim.fault(c.replay_fault[0], {c.replay_fault[1]});
        Result r = sim.cli({"replay", file});
        EXPECT_TRUE(qxtest::status_is(r, 0)) << r.out;
        EXPECT_TRUE(contains(r.out, c.counts)) << r.out;
    }
}

TEST(Replay, refuses_what_it_cannot_read)
{
    SimCamera sim;
    const std::string bad = sim.dir() + "/bad.trace";
    write_file(bad, "4711 1.000000000 W 0x00000188 0x00000004\nthis is no trace\n");
    Result r = replay_fresh(sim, bad);
    EXPECT_TRUE(qxtest::status_is(r, 2));
    EXPECT_TRUE(qxtest::stderr_is(r, "qxsim: " + bad + ":2: not a trace line\n"));
    r = replay_fresh(sim, sim.dir() + "/missing.trace");
    EXPECT_TRUE(qxtest::status_is(r, 2));
    EXPECT_TRUE(contains(r.err, "cannot read")) << r.err;
    EXPECT_TRUE(qxtest::status_is(sim.cli({"replay"}), 2));
}
