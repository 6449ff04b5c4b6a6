// qxsim record and qxsim replay through the real binaries: sessions of the
// tools recorded with the simulated camera standing in for the driver, then
// held against a fresh camera and against cameras that differ.
#include "sim_camera.h"

#include <algorithm>
#include <sys/stat.h>
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

// argv with "@image" made a small image in sim's folder.
std::vector<std::string> with_image(const SimCamera& sim, std::vector<std::string> argv)
{
    for (std::string& a : argv)
        if (a == "@image")
            a = small_image(sim);
    return argv;
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
        const std::vector<std::string> argv = with_image(sim, c.argv);
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
         "R ISB_I2C_RD_DATA: the camera read 0x00000048, the model reads 0x00000035 (bits 0x0000007d differ)",
         "i2c-isb  read dev 0x50 reg 0x05 -> 0x48 (8 bit), ack"},
        {"another flash", {"update", "-v", "@image"}, {"flash", "id", "0x20"},
         "R ASMI_STATUS: the camera read 0x00002100, the model reads 0x00002000 (bits 0x00000100 differ)",
         "flash    read ID -> 0x21 EPCQ-L1024"},
        {"a missing acknowledge", {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "1"},
         {"fault", "set", "i2c-isb.0x50.nak"},
         "R ISB_I2C_STATUS: the camera read 0x00000000, the model reads 0x40000000 (bits 0x40000000 differ)",
         "i2c-isb  read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack"},
        {"a failing erase", {"update", "-v", "@image"}, {"fault", "set", "asmi.erase-error", "0x2000000"},
         "R ASMI_STATUS: the camera read 0x00002100, the model reads 0x00002102 (bits 0x00000002 differ)",
         "flash    erase sector 512 at 0x02000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimCamera sim(SimOptions{"LUX13HS-C", false});
        const std::vector<std::string> argv = with_image(sim, c.argv);
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
        // the recorded line, its register named as trace show names it
        const std::string read = std::string(c.difference).substr(0, std::string(c.difference).find(':'));
        const std::string value = std::string(c.difference).substr(std::string(c.difference).find("read 0x") + 5, 10);
        EXPECT_TRUE(marked_line_contains(r.out, " " + read + " " + value)) << r.out;
    }
}

// Busy polls are timing as long as the tool's bounded wait ends alike on
// the camera and on the model: the whole poll loop of an I2C idle wait
// (regdump 10 readings, update and dac 100), a flash completion wait (100),
// a sector erase's wait with all its cycles. A wait given up on one side
// and done on the other is a difference.
TEST(Replay, busy_polls_are_timing_only_while_the_tools_wait_ends_alike)
{
    struct Case {
        const char* name;
        std::vector<std::string> argv;  // "@image": a small image
        std::vector<std::vector<std::string>> recorded_on;  // qxsim commands for the recording camera
        std::vector<std::vector<std::string>> replayed_on;  // and for the camera replayed against
        int status;
        const char* says;
    };
    const std::vector<std::string> regdump = {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"};
    const std::vector<std::string> update = {"update", "-v", "@image"};
    const std::string differs_regdump =
        "R ISB_I2C_STATUS: the camera's wait ended here (0x00000000), the model stays busy (0x80000000) past the "
        "tool's I2C idle wait of regdump (10 status readings): the tool would have given up";
    const Case cases[] = {
        {"camera busy longer", regdump, {{"fault", "set", "i2c-isb.busy", "3"}}, {}, 0,
         "busy polls told apart as timing: 12 recorded beyond the model, 0 of"},
        {"model busy longer", regdump, {}, {{"fault", "set", "i2c-isb.busy", "3"}}, 0,
         "recorded beyond the model, 12 of the model beyond"},
        {"model idle at regdump's last reading", regdump, {}, {{"fault", "set", "i2c-isb.busy", "9"}}, 0,
         "0 recorded beyond the model, 36 of the model beyond"},
        {"model busy past regdump's wait", regdump, {}, {{"fault", "set", "i2c-isb.busy", "10"}}, 1,
         differs_regdump.c_str()},
        {"camera's I2C wait given up (dac)", {"dac", "-u"}, {{"fault", "set", "i2c-isb.stuck-busy"}}, {}, 1,
         "R ISB_I2C_STATUS: the camera stayed busy until the tool gave its wait up (100 status readings to line "
         "103); the model is done here (0x00000000): the tool would have gone on"},
        {"flash busy longer", update, {{"fault", "set", "asmi.busy", "2"}}, {}, 0, "model agrees"},
        {"camera's flash wait given up", update, {{"fault", "set", "asmi.busy", "100"}}, {}, 1,
         "R ASMI_STATUS: the camera stayed busy until the tool gave its wait up (100 status readings to line"},
        {"model busy past a flash wait", update, {}, {{"fault", "set", "asmi.busy", "100"}}, 1,
         "past the tool's flash completion wait (100 status readings): the tool would have given up"},
        // 200 ms erases outlast the completion wait inside each erase cycle,
        // with room for a loaded machine whose sleeps run long
        {"camera's erase outlasts a completion wait", update,
         {{"flash", "timing", "datasheet", "200000", "400", "400"}}, {}, 0, "model agrees"},
        {"model's erase outlasts a completion wait", update, {},
         {{"flash", "timing", "datasheet", "150000", "400", "400"}}, 0, "model agrees"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimCamera sim(SimOptions{"LUX13HS-C", false});
        const std::vector<std::string> argv = with_image(sim, c.argv);
        for (const std::vector<std::string>& command : c.recorded_on)
            ASSERT_TRUE(qxtest::status_is(sim.cli(command), 0));
        const std::string file = sim.dir() + "/session.trace";
        record(sim, file, argv);
        ASSERT_TRUE(qxtest::status_is(sim.cli({"create", "--force"}), 0));
        for (const std::vector<std::string>& command : c.replayed_on)
            ASSERT_TRUE(qxtest::status_is(sim.cli(command), 0));
        Result r = sim.cli({"replay", file});
        EXPECT_TRUE(qxtest::status_is(r, c.status)) << r.out;
        EXPECT_TRUE(contains(r.out, c.says)) << r.out;
        if (c.status == 1) {  // the wait, decoded as recorded, marked
            EXPECT_TRUE(marked_line_contains(r.out, c.argv[0] == "update" ? "flash" : "i2c-isb")) << r.out;
        }
        if (std::string(c.name) == "camera's erase outlasts a completion wait") {
            // the recorded erase's readings ran on past one completion wait
            size_t run = 0, longest = 0;
            for (const qxtest::TraceRecord& t : parsed(read_file(file))) {
                run = t.kind == 'R' && t.reg == 0x1004 ? run + 1 : 0;
                longest = std::max(longest, run);
            }
            EXPECT_GT(longest, 101u);
        }
    }
}

// A recording says how its session ended; replay prints it, and a file that
// is no whole session is refused.
TEST(Replay, says_how_the_session_ended_and_refuses_one_cut_short)
{
    SimCamera sim;
    const std::string whole = sim.dir() + "/whole.trace";
    ASSERT_TRUE(qxtest::status_is(record(sim, whole, {"dac", "-u"}), 0));
    const std::string text = read_file(whole);
    Result r = replay_fresh(sim, whole);
    EXPECT_TRUE(qxtest::status_is(r, 0));
    const pid_t pid = parsed(text).back().pid;
    EXPECT_TRUE(qxtest::stdout_contains(
        r, "session: the recorded command (pid " + std::to_string(pid) +
               ") ended with exit status 0; 1 process, 1 with an exit record\n"));

    // a trace without the version line: the camera's own, or an older recording
    std::string old;
    for (const qxtest::TraceRecord& t : parsed(text))
        if (t.kind != '#' && t.kind != 'X' && t.kind != 'Z')
            old += t.line + "\n";
    write_file(sim.dir() + "/old.trace", old);
    r = replay_fresh(sim, sim.dir() + "/old.trace");
    EXPECT_TRUE(qxtest::status_is(r, 0));
    EXPECT_TRUE(qxtest::stdout_ends_with(r, "\nno version line (a camera's trace or an older recording): whether "
                                            "the session is complete cannot be checked\n"));

    // a tool killed by a power cut after its first buffer went out: replayed
    // up to there, and named
    SimCamera cut;
    std::string image(256 * 1024, '\0');
    for (size_t i = 0; i < image.size(); i++)
        image[i] = static_cast<char>((i * 13 + 5) & 0x7F);
    write_file(cut.dir() + "/image.rbf", image);
    cut.fault("power-cut", {"40000"});
    const std::string killed = cut.dir() + "/killed.trace";
    ASSERT_TRUE(qxtest::status_is(record(cut, killed, {"update", cut.dir() + "/image.rbf"}), 137));
    const std::vector<qxtest::TraceRecord> k = parsed(read_file(killed));
    r = replay_fresh(cut, killed);
    EXPECT_TRUE(qxtest::status_is(r, 0)) << r.out << r.err;
    EXPECT_TRUE(qxtest::stdout_contains(r, "session: the recorded command (pid " + std::to_string(k.back().pid) +
                                               ") was killed by signal 9 (SIGKILL); 1 process, 0 with an exit "
                                               "record\n  pid " + std::to_string(k.back().pid) +
                                               " left no exit record (killed): its session ends at line " +
                                               std::to_string(k.size() - 1) + ": "));

    struct Refused {
        const char* name;
        std::string text;
        std::string says;
    };
    SimCamera early;
    early.fault("power-cut", {"5"});
    const std::string nothing = early.dir() + "/nothing.trace";
    ASSERT_TRUE(qxtest::status_is(record(early, nothing, {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"}), 137));
    const Refused refused[] = {
        {"empty", "", "is empty: no register access or proc line to compare"},
        {"cut at a line (head -n 40)",
         [&] {
             std::string head;
             size_t at = 0;
             for (int n = 0; n < 40; n++)
                 at = text.find('\n', at) + 1;
             return text.substr(0, at);
         }(),
         "has no end mark (its last line is not a Z line): the recording was cut short or lost its end in a copy"},
        {"killed before any access was written", read_file(nothing),
         "no register access or proc line in it (the recorded command, pid " +
             std::to_string(parsed(read_file(nothing)).back().pid) +
             ", was killed by signal 9 (SIGKILL)): nothing to compare"},
    };
    for (const Refused& c : refused) {
        SCOPED_TRACE(c.name);
        const std::string file = sim.dir() + "/refused.trace";
        write_file(file, c.text);
        r = replay_fresh(sim, file);
        EXPECT_TRUE(qxtest::status_is(r, 2));
        EXPECT_TRUE(qxtest::stderr_is(r, "qxsim: " + file + ": " + c.says + "\n"));
        EXPECT_TRUE(qxtest::stdout_is(r, ""));
    }
}

// Whatever the file is, replay and the decoded view say what is wrong with
// it in one line and exit 2: never a signal, never a hang, never "model
// agrees".
TEST(Replay, refuses_what_it_cannot_read)
{
    SimCamera sim;
    const std::string dir = sim.dir();
    const std::string fifo = dir + "/fifo.trace";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    write_file(dir + "/bad.trace", "4711 1.000000000 W 0x00000188 0x00000004\nthis is no trace\n");
    write_file(dir + "/uncut.trace", "4711 1.000000000 W 0x00000188 0x00000004\n4711 1.000000001 R 0x00000184 0x0");
    write_file(dir + "/zeros.trace", std::string(10000, '\0') + "\n");
    write_file(dir + "/v3.trace", "# qxsim recording 3\n4711 1.000000000 W 0x00000188 0x00000004\n4711 2.0 Z exit 0\n");
    write_file(dir + "/early_end.trace", "# qxsim recording 2\n4711 1.000000000 W 0x00000188 0x00000004\n"
                                         "4711 1.000000001 Z exit 0\n4711 1.000000002 W 0x00000188 0x00000005\n"
                                         "4711 1.000000003 Z exit 0\n");
    struct Case {
        std::string file;
        std::string replay_says;  // after "qxsim: "
        std::string decode_says;  // "" when the decoded view takes the file
    };
    const Case cases[] = {
        {dir + "/missing.trace", dir + "/missing.trace: cannot read: No such file or directory",
         dir + "/missing.trace: cannot read: No such file or directory"},
        {"/dev/null", "/dev/null: is a character device, not a trace file",
         "/dev/null: is a character device, not a trace file"},
        {"/dev/zero", "/dev/zero: is a character device, not a trace file",
         "/dev/zero: is a character device, not a trace file"},
        {"/proc/self/status",
         "/proc/self/status: its size (0) is not what it holds (a file of /proc or /sys?), not a trace file",
         "/proc/self/status: its size (0) is not what it holds (a file of /proc or /sys?), not a trace file"},
        {fifo, fifo + ": is a FIFO, not a trace file", fifo + ": is a FIFO, not a trace file"},
        {dir, dir + ": is a directory, not a trace file", dir + ": is a directory, not a trace file"},
        {dir + "/bad.trace", dir + "/bad.trace:2: not a trace line",
         dir + "/bad.trace: a line that is not a trace line: unreadable line 2: this is no trace"},
        {dir + "/uncut.trace", dir + "/uncut.trace: its last line is cut short (no newline at its end)",
         dir + "/uncut.trace: its last line is cut short (no newline at its end)"},
        {dir + "/zeros.trace", dir + "/zeros.trace:1: not a trace line",
         [&] {  // the first 80 bytes of it, escaped
             std::string shown;
             for (int i = 0; i < 80; i++)
                 shown += "\\x00";
             return dir + "/zeros.trace: a line that is not a trace line: unreadable line 1: " + shown +
                    "... (10000 bytes)";
         }()},
        {dir + "/v3.trace", dir + "/v3.trace: is a recording of format 'qxsim recording 3'; this qxsim reads 'qxsim "
                                  "recording 2'",
         dir + "/v3.trace: is a recording of format 'qxsim recording 3'; this qxsim reads 'qxsim recording 2'"},
        {dir + "/early_end.trace", dir + "/early_end.trace:3: an end mark before the end of the recording", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Result r = replay_fresh(sim, c.file);
        EXPECT_TRUE(qxtest::status_is(r, 2));
        EXPECT_TRUE(qxtest::stderr_is(r, "qxsim: " + c.replay_says + "\n"));
        EXPECT_FALSE(contains(r.out, "model agrees")) << r.out;
        r = sim.run({qxtest::qxsim_path(), "--state", dir + "/no-camera", "trace", "show", "--decode", c.file});
        EXPECT_TRUE(qxtest::status_is(r, c.decode_says.empty() ? 0 : 2));
        if (!c.decode_says.empty()) {
            EXPECT_TRUE(qxtest::stderr_contains(r, "qxsim: " + c.decode_says + "\n"));
        }
    }
    EXPECT_TRUE(qxtest::status_is(sim.cli({"replay"}), 2));
}
