// Register-write lines as the simulated driver parses them.
#include "qxsim/trace/proc_line.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using qxsim::ProcLine;

bool parse(const char* text, std::vector<ProcLine>* lines)
{
    return qxsim::parse_proc_lines(text, std::strlen(text), lines);
}

TEST(ProcLine, accepts_the_lines_both_command_templates_produce)
{
    std::vector<ProcLine> lines;
    ASSERT_TRUE(parse("w 0x18c 0x4b00\n", &lines));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].reg, 0x18Cu);
    EXPECT_EQ(lines[0].value, 0x4B00u);
    EXPECT_EQ(lines[0].text, "w 0x18c 0x4b00");
    ASSERT_TRUE(parse("w 0x18c 0x0\n", &lines));
    EXPECT_EQ(lines[0].value, 0u);
}

TEST(ProcLine, accepts_what_a_lenient_driver_would)
{
    std::vector<ProcLine> lines;
    ASSERT_TRUE(parse("w 0x8170 0x114", &lines)) << "no newline at the end";
    ASSERT_TRUE(parse("w\t0X8170   276  \n", &lines));
    EXPECT_EQ(lines[0].reg, 0x8170u);
    EXPECT_EQ(lines[0].value, 276u);
    ASSERT_TRUE(parse("w 0xffffffff 0xFFFFFFFF\n", &lines));
    EXPECT_EQ(lines[0].reg, 0xFFFFFFFFu);
    EXPECT_EQ(lines[0].value, 0xFFFFFFFFu);
}

TEST(ProcLine, several_lines_in_one_buffer_are_kept_in_order)
{
    std::vector<ProcLine> lines;
    ASSERT_TRUE(parse("w 0x8210 0x1\nw 0x8214 0x2\nw 0x8218 0x3\n", &lines));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].reg, 0x8218u);
    EXPECT_EQ(lines[2].value, 3u);
}

TEST(ProcLine, refuses_garbage_missing_fields_trailing_junk_and_oversized_values)
{
    const char* bad[] = {
        "",                          // nothing
        "\n",                        // an empty line
        "r 0x8170 0x114\n",          // another command letter
        "w 0x8170\n",                // value missing
        "w\n",                       // both missing
        "w 0x8170 0x114 0x1\n",      // a third number
        "w 0x8170 0x114x\n",         // junk after the value
        "w 0x8170 0x1x4\n",          // not a number
        "w 0x 0x114\n",              // "0x" without digits
        "w 0x8170 -1\n",             // signs are not numbers
        "w 0x8170 0x100000000\n",    // more than 32 bits
        "w 0x8170 4294967296\n",     // decimal, more than 32 bits
        "w0x8170 0x114\n",           // no separator
        "x w 0x8170 0x114\n",
        "w 0x8170 0x114\nbogus\n",   // one bad line spoils the buffer
    };
    for (const char* text : bad) {
        std::vector<ProcLine> lines = {ProcLine{1, 2, "untouched"}};
        EXPECT_FALSE(parse(text, &lines)) << "accepted: " << text;
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, "untouched");
    }
}

TEST(ProcLine, printable_lines_escape_control_bytes_for_the_trace)
{
    const char text[] = "w 0x1 \x01\x7f\nsecond\n";
    std::vector<std::string> lines = qxsim::printable_lines(text, sizeof text - 1);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "w 0x1 \\x01\\x7f");
    EXPECT_EQ(lines[1], "second");
}

}  // namespace
