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

// The lines both command templates produce, what a lenient driver takes
// besides, several lines in one buffer, kept in order.
TEST(ProcLine, accepts_valid_lines_in_order)
{
    const struct {
        const char* buffer;
        std::vector<ProcLine> lines;
    } cases[] = {
        {"w 0x18c 0x4b00\n", {{0x18C, 0x4B00, "w 0x18c 0x4b00"}}},
        {"w 0x18c 0x0\n", {{0x18C, 0, "w 0x18c 0x0"}}},
        {"w 0x8170 0x114", {{0x8170, 0x114, "w 0x8170 0x114"}}},  // no newline at the end
        {"w\t0X8170   276  \n", {{0x8170, 276, "w\t0X8170   276  "}}},
        {"w 0xffffffff 0xFFFFFFFF\n", {{0xFFFFFFFF, 0xFFFFFFFF, "w 0xffffffff 0xFFFFFFFF"}}},
        {"w 0x8210 0x1\nw 0x8214 0x2\nw 0x8218 0x3\n",
         {{0x8210, 1, "w 0x8210 0x1"}, {0x8214, 2, "w 0x8214 0x2"}, {0x8218, 3, "w 0x8218 0x3"}}},
    };
    for (const auto& c : cases) {
        std::vector<ProcLine> lines;
        ASSERT_TRUE(parse(c.buffer, &lines)) << c.buffer;
        ASSERT_EQ(lines.size(), c.lines.size()) << c.buffer;
        for (size_t i = 0; i < lines.size(); i++) {
            EXPECT_EQ(lines[i].reg, c.lines[i].reg) << c.buffer;
            EXPECT_EQ(lines[i].value, c.lines[i].value) << c.buffer;
            EXPECT_EQ(lines[i].text, c.lines[i].text) << c.buffer;
        }
    }
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
