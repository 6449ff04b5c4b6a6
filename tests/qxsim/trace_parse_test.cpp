// The harness's reading of trace lines, which every tool test relies on.
#include "sim_camera.h"

#include <gtest/gtest.h>

namespace {

using qxtest::parse_trace_line;
using qxtest::TraceRecord;

TEST(TraceParse, register_accesses_failures_and_power_cuts)
{
    TraceRecord r = parse_trace_line("123 R 0x00000184 0x80000000");
    EXPECT_EQ(r.pid, 123);
    EXPECT_EQ(r.kind, 'R');
    EXPECT_EQ(r.reg, 0x184u);
    EXPECT_EQ(r.value, 0x80000000u);
    TraceRecord f = parse_trace_line("7 W 0x00001014 E5");
    EXPECT_EQ(f.kind, 'W');
    EXPECT_EQ(f.error, 5);
    TraceRecord k = parse_trace_line("7 W 0x00001014 K");
    EXPECT_TRUE(k.killed);
    EXPECT_EQ(k.reg, 0x1014u);
}

TEST(TraceParse, proc_lines_opens_and_summaries)
{
    TraceRecord p = parse_trace_line("9 P w 0x18c 0x4b00");
    EXPECT_EQ(p.kind, 'P');
    EXPECT_FALSE(p.refused);
    EXPECT_EQ(p.text, "w 0x18c 0x4b00");
    EXPECT_EQ(p.reg, 0x18Cu);
    EXPECT_EQ(p.value, 0x4B00u);
    TraceRecord bad = parse_trace_line("9 P! w 0x18c zz");
    EXPECT_TRUE(bad.refused);
    EXPECT_EQ(bad.text, "w 0x18c zz");
    TraceRecord o = parse_trace_line("9 O /dev/qx_fpga E13");
    EXPECT_EQ(o.kind, 'O');
    EXPECT_EQ(o.text, "/dev/qx_fpga");
    EXPECT_EQ(o.error, 13);

    std::vector<TraceRecord> t = {parse_trace_line("1 O /dev/qx_fpga"), parse_trace_line("1 W 0x00000188 0x00000004"),
                                  parse_trace_line("1 W 0x00000180 0x00050111"), parse_trace_line("1 R 0x00000184 E5"),
                                  p, bad};
    EXPECT_EQ(qxtest::traffic_summary(t),
              (std::vector<std::string>{"W 0x188 0x4", "W 0x180 0x50111", "P 0x18c 0x4b00"}));
    EXPECT_EQ(qxtest::writes_to(t, 0x18C), std::vector<uint32_t>{0x4B00});
    EXPECT_EQ(qxtest::reads_of(t, 0x184), 0u);
    EXPECT_EQ(qxtest::proc_lines(t), std::vector<std::string>{"w 0x18c 0x4b00"});
}

}  // namespace
