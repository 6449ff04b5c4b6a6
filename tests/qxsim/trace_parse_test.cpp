// The trace line format (writer and parser), the harness's reading of it,
// which every tool test relies on, and trace files read while they change.
#include "sim_camera.h"

#include "qxsim/trace/mapped_file.h"
#include "qxsim/trace/trace_format.h"

#include <fmt/format.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using qxtest::parse_trace_line;
using qxtest::TraceRecord;

TEST(TraceParse, register_accesses_failures_and_power_cuts)
{
    TraceRecord r = parse_trace_line("123 4711.000123456 R 0x00000184 0x80000000");
    EXPECT_EQ(r.pid, 123);
    EXPECT_EQ(r.time_ns, 4711000123456u);
    EXPECT_EQ(r.kind, 'R');
    EXPECT_EQ(r.reg, 0x184u);
    EXPECT_EQ(r.value, 0x80000000u);
    TraceRecord f = parse_trace_line("7 0.000000001 W 0x00001014 E5");
    EXPECT_EQ(f.kind, 'W');
    EXPECT_EQ(f.time_ns, 1u);
    EXPECT_EQ(f.error, 5);
    TraceRecord k = parse_trace_line("7 1.000000000 W 0x00001014 K");
    EXPECT_TRUE(k.killed);
    EXPECT_EQ(k.reg, 0x1014u);
    TraceRecord pk = parse_trace_line("7 1.000000000 P 0x00008170 K");
    EXPECT_EQ(pk.kind, 'P');
    EXPECT_TRUE(pk.killed);
    EXPECT_EQ(pk.reg, 0x8170u);
    // a cut inside a flash operation: what, where, how many bytes landed
    TraceRecord torn = parse_trace_line("7 1.000000000 K program 0x02000100 40");
    EXPECT_EQ(torn.kind, 'K');
    EXPECT_TRUE(torn.killed);
    EXPECT_EQ(torn.text, "program");
    EXPECT_EQ(torn.reg, 0x2000100u);
    EXPECT_EQ(torn.value, 40u);
    for (const char* bad : {"7 1.000000000 K wipe 0x02000100 40", "7 1.000000000 K erase 0x02000100",
                            "7 1.000000000 K erase 0x02000100 4096 1", "7 1.000000000 K erase 33 4096"})
        EXPECT_EQ(parse_trace_line(bad).kind, '?') << bad;
    // lines of older traces, without the time
    TraceRecord old = parse_trace_line("123 R 0x00000184 0x80000000");
    EXPECT_EQ(old.kind, 'R');
    EXPECT_EQ(old.time_ns, 0u);
    EXPECT_EQ(old.value, 0x80000000u);
}

TEST(TraceParse, proc_lines_opens_and_summaries)
{
    TraceRecord p = parse_trace_line("9 2.5000000000 P w 0x18c 0x4b00");
    EXPECT_EQ(p.kind, '?') << "ten digits of nanoseconds";
    p = parse_trace_line("9 2.500000000 P w\t0x18c  19200 ");
    EXPECT_EQ(p.kind, 'P');
    EXPECT_FALSE(p.refused);
    EXPECT_EQ(p.text, "w\t0x18c  19200 ");
    EXPECT_EQ(p.reg, 0x18Cu);
    EXPECT_EQ(p.value, 19200u);
    TraceRecord bad = parse_trace_line("9 2.500000000 P! w 0x18c zz");
    EXPECT_TRUE(bad.refused);
    EXPECT_EQ(bad.text, "w 0x18c zz");
    TraceRecord o = parse_trace_line("9 2.500000000 O /dev/qx_fpga E13");
    EXPECT_EQ(o.kind, 'O');
    EXPECT_EQ(o.text, "/dev/qx_fpga");
    EXPECT_EQ(o.error, 13);

    std::vector<TraceRecord> t = {
        parse_trace_line("1 3.000000000 O /dev/qx_fpga"), parse_trace_line("1 3.000000001 W 0x00000188 0x00000004"),
        parse_trace_line("1 3.000000002 W 0x00000180 0x00050111"), parse_trace_line("1 3.000000003 R 0x00000184 E5"),
        p, bad};
    EXPECT_EQ(qxtest::traffic_summary(t),
              (std::vector<std::string>{"W 0x188 0x4", "W 0x180 0x50111", "P 0x18c 0x4b00"}));
    EXPECT_EQ(qxtest::writes_to(t, 0x18C), std::vector<uint32_t>{0x4B00});
    EXPECT_EQ(qxtest::reads_of(t, 0x184), 0u);
    EXPECT_EQ(qxtest::proc_lines(t), std::vector<std::string>{"w\t0x18c  19200 "});
}

TEST(TraceParse, malformed_lines_are_refused)
{
    for (const char* line : {"", "12", "12 R", "x 1.000000000 R 0x00000004 0x00000011",
                             "12 1.000000000 R 0x00000004", "12 1.000000000 R 0x00000004 0x000000011",
                             "12 1.000000000 R 0x00000004 0x11 junk", "12 1.000000000 Q 0x00000004 0x11",
                             "12 1.000000000 P w 0x18c", "12 1.000000000 P w 0x18c 0x100000000",
                             "12 1.000000000 P 0x00008170", "12 1.000000000 O ", "12 1.000000000 O /dev/qx_fpga X",
                             "12 1.000000000 I isb 0x50 R 0x04 0x043 ack", "12 1.000000000 I isb 0x150 R 0x04 0x43 ack",
                             "12 1.000000000 I isbx 0x50 R 0x04 0x43 ack", "12 1.000000000 I isb 0x50 R 0x04 0x43 nak-",
                             "12 1.000000000 I isb 0x50 X 0x04 0x43 ack", "12 1.000000000 I isb 0x50 R 0x04 0x43",
                             // the fast path's form with a damaged pid or time
                             "12ab 1.000000000 R 0x00000004 0x00000011", "12 1.00000000 R 0x00000004 0x00000011",
                             "12 1.0000000000 R 0x00000004 0x00000011", "12  1.000000000 R 0x00000004 0x00000011",
                             "2147483648 1.000000000 R 0x00000004 0x00000011", "- R 0x00000004 0x00000011",
                             "12 18446744074.000000000 R 0x00000004 0x00000011",
                             "12 99999999999999999999999.000000000 R 0x00000004 0x00000011",
                             "12 1.000000000  R 0x00000004 0x00000011", "12 1.000000000 C /dev/qx_fpga E5"}) {
        qxsim::TraceRecord rec;
        EXPECT_FALSE(qxsim::parse_trace_line(line, &rec)) << '"' << line << '"';
        EXPECT_FALSE(qxsim::parse_trace_access(line, &rec)) << '"' << line << '"';
    }
}

// Every kind of line the model writes comes back as it went in.
TEST(TraceFormat, written_lines_parse_back_to_the_same_record)
{
    struct Case {
        qxsim::TraceRecord rec;  // pid, time, kind, reg, value, error, killed, refused, text
        const char* line;
    };
    auto make = [](int32_t pid, uint64_t t, char kind, uint32_t reg, uint32_t value, int err, bool killed,
                   bool refused, const char* text) {
        qxsim::TraceRecord r;
        r.pid = pid;
        r.time_ns = t;
        r.kind = kind;
        r.reg = reg;
        r.value = value;
        r.error = err;
        r.killed = killed;
        r.refused = refused;
        r.text = text;
        return r;
    };
    auto i2c = [&make](uint8_t bus, uint8_t dev, bool read, uint8_t reg, uint32_t data, uint8_t width,
                       uint8_t ack) {
        qxsim::TraceRecord r = make(5, 6, qxsim::TRACE_I2C_BUS, reg, data, 0, false, false, "");
        r.bus = bus;
        r.dev = dev;
        r.bus_read = read;
        r.width = width;
        r.ack = ack;
        return r;
    };
    const Case cases[] = {
        {i2c(1, 0x10, false, 0x30, 0x4b00, 2, qxsim::I2C_BUS_ACK), "5 0.000000006 I isb 0x10 W 0x30 0x4b00 ack\n"},
        {i2c(0, 0x48, true, 0xff, 0x12345678, 4, qxsim::I2C_BUS_ACK), "5 0.000000006 I main 0x48 R 0xff 0x12345678 ack\n"},
        {i2c(2, 0x50, true, 0x04, 0x43, 1, qxsim::I2C_BUS_ACK), "5 0.000000006 I iob 0x50 R 0x04 0x43 ack\n"},
        {i2c(1, 0x42, true, 0x04, 0, 0, qxsim::I2C_BUS_NAK), "5 0.000000006 I isb 0x42 R 0x04 - nak\n"},
        {i2c(1, 0x50, false, 0x05, 0, 0, qxsim::I2C_BUS_NAK_REGISTER), "5 0.000000006 I isb 0x50 W 0x05 - nak-reg\n"},
        {make(4711, 12000123456u, 'W', 0x1004, 0x208, 0, false, false, ""), "4711 12.000123456 W 0x00001004 0x00000208\n"},
        {make(1, 0, 'R', 0xFFFFFFFF, 0x80000001, 0, false, false, ""), "1 0.000000000 R 0xffffffff 0x80000001\n"},
        {make(2147483647, 18446744073709551615u, 'R', 0x184, 0, 5, false, false, ""),
         "2147483647 18446744073.709551615 R 0x00000184 E5\n"},
        {{7, 999999999, 'W', 0x1014, 0, 0, true, false, ""}, "7 0.999999999 W 0x00001014 K\n"},
        {{7, 5, 'P', 0x8170, 0, 0, true, false, ""}, "7 0.000000005 P 0x00008170 K\n"},
        {{5, 6, 'K', 0x02000000, 4096, 0, true, false, "erase"}, "5 0.000000006 K erase 0x02000000 4096\n"},
        {{5, 6, 'K', 0x02000100, 0, 0, true, false, "program"}, "5 0.000000006 K program 0x02000100 0\n"},
        {{9, 1000000000, 'P', 0x18C, 0x4B00, 0, false, false, "w 0x18c 0x4b00"}, "9 1.000000000 P w 0x18c 0x4b00\n"},
        {{9, 1000000000, 'P', 0, 0, 0, false, true, "w 0x18c \\x07"}, "9 1.000000000 P! w 0x18c \\x07\n"},
        {{9, 3, 'O', 0, 0, 13, false, false, "/dev/qx_fpga"}, "9 0.000000003 O /dev/qx_fpga E13\n"},
        {{9, 3, 'O', 0, 0, 0, false, false, "/proc/qx_pci/regs"}, "9 0.000000003 O /proc/qx_pci/regs\n"},
        {{9, 4, 'C', 0, 0, 0, false, false, "/dev/qx_fpga"}, "9 0.000000004 C /dev/qx_fpga\n"},
    };
    for (const Case& c : cases) {
        char buf[qxsim::TRACE_LINE_FIXED + 32];
        size_t n = qxsim::format_trace_line(c.rec, buf, sizeof buf);
        ASSERT_LE(n, sizeof buf);
        EXPECT_EQ(std::string(buf, n), c.line);
        qxsim::TraceRecord back;
        ASSERT_TRUE(qxsim::parse_trace_line(std::string_view(buf, n), &back)) << c.line;
        EXPECT_EQ(back.pid, c.rec.pid);
        EXPECT_EQ(back.time_ns, c.rec.time_ns);
        EXPECT_EQ(back.kind, c.rec.kind);
        EXPECT_EQ(back.reg, c.rec.reg) << c.line;
        EXPECT_EQ(back.value, c.rec.value) << c.line;
        EXPECT_EQ(back.error, c.rec.error);
        EXPECT_EQ(back.killed, c.rec.killed);
        EXPECT_EQ(back.refused, c.rec.refused);
        EXPECT_EQ(back.text, c.rec.text);
        EXPECT_EQ(back.bus, c.rec.bus) << c.line;
        EXPECT_EQ(back.dev, c.rec.dev) << c.line;
        EXPECT_EQ(back.bus_read, c.rec.bus_read) << c.line;
        EXPECT_EQ(back.width, c.rec.width) << c.line;
        EXPECT_EQ(back.ack, c.rec.ack) << c.line;
        // the fast path takes exactly the successful accesses, alike
        qxsim::TraceRecord fast;
        const bool access = (c.rec.kind == 'R' || c.rec.kind == 'W') && !c.rec.error && !c.rec.killed;
        ASSERT_EQ(qxsim::parse_trace_access(std::string_view(buf, n - 1), &fast), access) << c.line;
        if (access) {
            EXPECT_EQ(fast.pid, back.pid);
            EXPECT_EQ(fast.time_ns, back.time_ns);
            EXPECT_EQ(fast.kind, back.kind);
            EXPECT_EQ(fast.reg, back.reg);
            EXPECT_EQ(fast.value, back.value);
        }
    }
    // A buffer too small gets nothing and learns the size it needs.
    char tiny[8] = "unused";
    EXPECT_EQ(qxsim::format_trace_line(cases[5].rec, tiny, sizeof tiny), 42u);
    EXPECT_EQ(qxsim::format_trace_line(cases[0].rec, tiny, sizeof tiny), std::strlen(cases[0].line));
    EXPECT_STREQ(tiny, "unused");
}

// The model's lines carry this process and a monotonic time.
TEST(TraceFormat, the_camera_stamps_each_line_with_pid_and_time)
{
    qxtest::SimCamera sim;
    uint64_t before = qxsim::trace_now_ns();
    uint32_t v = 0;
    ASSERT_EQ(sim.model().reg_read(0x4, &v), 0);
    ASSERT_EQ(sim.model().reg_write(0x8000, 0x77), 0);
    uint64_t after = qxsim::trace_now_ns();
    std::vector<TraceRecord> t = sim.trace();
    ASSERT_EQ(t.size(), 2u);
    for (const TraceRecord& r : t) {
        EXPECT_EQ(r.pid, ::getpid());
        EXPECT_GE(r.time_ns, before);
        EXPECT_LE(r.time_ns, after);
    }
    EXPECT_LE(t[0].time_ns, t[1].time_ns);
    EXPECT_EQ(t[1].line.substr(t[1].line.find(" W ")), " W 0x00008000 0x00000077");
}

// A trace file mapped for reading: cleared or cut under the mapping, its
// lost pages read as zeros instead of raising SIGBUS and the reader learns
// what happened; replaced likewise; a trace that grows (the camera writing
// on) is no change.
TEST(TraceFile, a_mapping_outlives_the_file_shrunk_or_replaced_under_it)
{
    struct Case {
        const char* name;
        void (*change)(const std::string& path);
        const char* says;  // "" for no change
    };
    const Case cases[] = {
        {"grown", [](const std::string& p) { std::ofstream(p, std::ios::app) << "1 2.000000000 C /dev/qx_fpga\n"; },
         ""},
        {"cleared", [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 0), 0); },
         ": shrank from 589824 to 0 bytes while it was read (cleared or cut), what was read is incomplete"},
        {"cut", [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 5000), 0); },
         ": shrank from 589824 to 5000 bytes while it was read (cleared or cut), what was read is incomplete"},
        {"replaced",
         [](const std::string& p) {
             qxtest::write_file(p + ".new", "other\n");
             ASSERT_EQ(std::rename((p + ".new").c_str(), p.c_str()), 0);
         },
         ": was replaced by another file while it was read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qxtest::TempDir tmp;
        const std::string path = tmp.path() + "/trace.log";
        qxtest::write_file(path, std::string(9 * 65536, 'x'));
        qxsim::MappedFile file;
        std::string err;
        ASSERT_TRUE(file.open(path, true, &err)) << err;
        c.change(path);
        size_t xs = 0;
        for (size_t i = 0; i < file.size(); i++)
            xs += file.data()[i] == 'x';
        std::string what;
        EXPECT_EQ(file.changed(&what), *c.says != 0);
        if (*c.says) {
            EXPECT_EQ(what, path + c.says);
        }
        if (std::string(c.name) == "cleared") {
            EXPECT_EQ(xs, 0u);  // read as zeros, the process still alive
        }
    }
}

// `trace show --decode` while `trace clear` runs: the decoded trace, or a
// line saying it shrank (exit 2), never SIGBUS.
TEST(TraceFile, decode_while_the_trace_is_cleared_ends_in_a_line_not_a_signal)
{
    qxtest::SimCamera sim;
    std::string lines;
    for (int i = 0; i < 100000; i++)
        lines += fmt::format("7 1.{:09} R 0x00000184 0x00000000\n7 1.{:09} W 0x00000188 0x00000004\n", 2 * i,
                             2 * i + 1);
    const std::string q = qxtest::qxsim_path() + " --state " + sim.dir();
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        qxtest::write_file(sim.dir() + "/trace.log", lines);
        qxtest::Result r = sim.shell(fmt::format("{0} trace show --decode > /dev/null 2> {1}/err & sleep 0.0{2}; "
                                                 "{0} trace clear; wait $!; echo $?; cat {1}/err",
                                                 q, sim.dir(), round));
        EXPECT_TRUE(r.out == "0\n" ||
                    (r.out.rfind("2\nqxsim: " + sim.dir() + "/trace.log: shrank from ", 0) == 0 &&
                     qxtest::contains(r.out, "bytes while it was read (cleared or cut)")))
            << r.out;
    }
}

}  // namespace
