// regdump's command line and table against the simulated camera: what it
// prints, which master it drives and which registers it asks for.

#include "regdump_fixture.h"

namespace regdump_test {
namespace {

using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_is;

const char USAGE[] =
    "usage: regdump [options]\n"
    "  -2\t--two\t\tRead two bytes (default: 1 byte)\n"
    "  -c\t--count\t\tNumber of registers to read (default: 16).\n"
    "  -d\t--dev\t\tDevice to read\n"
    "  -f\t--force\t\tIgnore error bit.\n"
    "  -i\t--isb\t\tRead from the ISB (default: main board)\n"
    "  -o\t--iob\t\tRead from the IOB (default: main board)\n"
    "  -r\t--reg\t\tRegister to read\n"
    "  -v       --verbose       Make a lot of racket\n"
    "  -?       --help          Print usage message and exit\n";

std::vector<uint32_t> range(uint32_t first, int count)
{
    std::vector<uint32_t> values;
    for (int i = 0; i < count; i++)
        values.push_back((first + i) & 0xFF);
    return values;
}

TEST_F(RegdumpTest, no_options_dumps_registers_0_to_15_of_device_0_on_the_main_board)
{
    add_device(qxsim::BUS_MAIN, 0x00, 1);
    Result r = regdump({});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "00: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n\n"));
    EXPECT_TRUE(stderr_is(r, ""));

    auto t = sim.trace();
    EXPECT_EQ(qxtest::writes_to(t, MAIN_CONTROL), std::vector<uint32_t>(16, 0x111));
    EXPECT_EQ(qxtest::writes_to(t, MAIN_REG_ADDR), range(0, 16));
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.front().kind, 'O');
    EXPECT_EQ(t.back().kind, 'C');
}

TEST_F(RegdumpTest, each_read_waits_once_before_and_once_after_its_command)
{
    Result r = regdump({"-d", "0x20", "-r", "0x30", "-c", "1"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_EQ(qxtest::traffic_summary(sim.trace()),
              (std::vector<std::string>{"R 0x164 0x0", "W 0x168 0x30", "W 0x160 0x20111",
                                        "R 0x164 0x0", "R 0x170 0x30", "R 0x160 0x0"}));
}

TEST_F(RegdumpTest, counts_of_0_and_256_read_nothing_and_a_count_of_20_prints_two_rows)
{
    for (const char* count : {"0", "256"}) {
        sim.clear_trace();
        Result r = regdump({"-d", "0x20", "-c", count});
        EXPECT_TRUE(status_is(r, 0)) << count;
        EXPECT_TRUE(stdout_is(r, "\n")) << count;
        EXPECT_TRUE(qxtest::register_traffic(sim.trace()).empty()) << count;
    }
    Result r = regdump({"-d", "0x20", "-c", "20"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "00: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n"
                             "10: 10 11 12 13 \n"));
}

TEST_F(RegdumpTest, run_past_ff_wraps_the_registers_while_row_labels_count_on)
{
    Result r = regdump({"-d", "0x20", "-r", "0xF8", "-c", "32"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "F8: F8 F9 FA FB FC FD FE FF 00 01 02 03 04 05 06 07 \n"
                             "108: 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 \n\n"));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), MAIN_REG_ADDR), range(0xF8, 32));
}

TEST_F(RegdumpTest, block_options_select_the_master_and_isb_wins_over_iob)
{
    struct Case {
        std::vector<std::string> args;
        char letter;
        uint32_t base;
    };
    const Case cases[] = {
        {{"-v", "-d", "0x21"}, 'M', 0x160},
        {{"-v", "-d", "0x21", "-o"}, 'O', 0x1A0},
        {{"-v", "-d", "0x21", "--iob"}, 'O', 0x1A0},
        {{"-v", "-d", "0x21", "-i"}, 'I', 0x180},
        {{"-v", "-d", "0x21", "-o", "-i"}, 'I', 0x180},
        {{"-v", "-d", "0x21", "--isb", "--iob"}, 'I', 0x180},
    };
    for (const Case& c : cases) {
        // A NAK leaves the error bit for the next run: power the camera again.
        sim.model().power_cycle();
        sim.clear_trace();
        Result r = regdump(c.args);
        std::string expected = std::string("bus = ") + c.letter + "\ndev_addr = 0x21\nreg_addr = 0x00\n";
        EXPECT_EQ(r.out.substr(0, expected.size()), expected) << c.letter;
        auto traffic = qxtest::register_traffic(sim.trace());
        ASSERT_FALSE(traffic.empty()) << c.letter;
        for (const auto& rec : traffic)
            EXPECT_TRUE(rec.reg >= c.base && rec.reg < c.base + 0x14) << c.letter << ": " << rec.line;
        auto commands = qxtest::writes_to(traffic, c.base);
        ASSERT_FALSE(commands.empty()) << c.letter;
        EXPECT_EQ(commands[0], 0x21111u) << c.letter;
    }
}

TEST_F(RegdumpTest, numbers_follow_prefix_rules_keep_eight_bits_and_the_last_option_wins)
{
    struct Case {
        std::vector<std::string> args;
        const char* out;
    };
    const Case cases[] = {
        {{"-d", "32", "-r", "010", "-c", "2"}, "08: 08 09 \n"},       // decimal, octal
        {{"-d", "0X20", "-r", "junk", "-c", "0x102"}, "00: 00 01 \n"}, // not a number: 0
        {{"--dev=0x20", "--reg", "0x1F3", "--count", "1"}, "F3: F3 \n"},
        {{"-d", "0x20", "-r", "1", "-r", "5", "-c", "3", "-c", "1", "extra"}, "05: 05 \n"},
    };
    for (const Case& c : cases) {
        Result r = regdump(c.args);
        EXPECT_TRUE(status_is(r, 0)) << c.out;
        EXPECT_TRUE(stdout_is(r, c.out));
    }
}

TEST_F(RegdumpTest, two_byte_cells_show_the_buffer_first_two_bytes)
{
    // One-byte answers leave the second byte as the run started: 00.
    Result one = regdump({"-2", "-d", "0x20", "-r", "0x0A", "-c", "2"});
    EXPECT_TRUE(stdout_is(one, "0A: 0A00 0B00 \n"));

    // A 16-bit answer fills both, the second in lower-case digits.
    set_device_reg(qxsim::BUS_MAIN, 0x48, 0x0A, 0xC0DE);
    set_device_reg(qxsim::BUS_MAIN, 0x48, 0x0B, 0x12AB);
    Result two = regdump({"--two", "-d", "0x48", "-r", "0x0A", "-c", "2"});
    EXPECT_TRUE(stdout_is(two, "0A: C0de 12ab \n"));

    // A 32-bit answer arrives most significant byte first.
    set_device_reg(qxsim::BUS_IOB, 0x3C, 0x5A, 0xA1B2C3D4);
    Result four = regdump({"-o", "-2", "-d", "0x3C", "-r", "0x5A", "-c", "1"});
    EXPECT_TRUE(stdout_is(four, "5A: A1b2 \n"));
    Result four_one = regdump({"-o", "-d", "0x3C", "-r", "0x5A", "-c", "1"});
    EXPECT_TRUE(stdout_is(four_one, "5A: A1 \n"));
}

TEST_F(RegdumpTest, verbose_debug_lines_break_the_table_rows)
{
    set_device_reg(qxsim::BUS_MAIN, 0x20, 0x10, 0xAB);
    set_device_reg(qxsim::BUS_MAIN, 0x20, 0x11, 0xCD);
    Result r = regdump({"-v", "-d", "0x20", "-r", "0x10", "-c", "2"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, "bus = M\ndev_addr = 0x20\nreg_addr = 0x10\n"
                             "[10] = 0xAB00\n10: AB [11] = 0xCD00\nCD \n"));
}

TEST_F(RegdumpTest, usage_text_for_help_unknown_options_and_missing_arguments)
{
    const std::string path = qxtest::tool_path("regdump");
    struct Case {
        std::vector<std::string> args;
        std::string diagnostic;
    };
    const Case cases[] = {
        {{"--help"}, ""},
        {{"-d", "0x20", "-?"}, path + ": invalid option -- '?'\n"},
        {{"-x"}, path + ": invalid option -- 'x'\n"},
        {{"-c"}, path + ": option requires an argument -- 'c'\n"},
        {{"--count"}, path + ": option '--count' requires an argument\n"},
    };
    for (const Case& c : cases) {
        Result r = regdump(c.args);
        EXPECT_TRUE(status_is(r, 1)) << c.args[0];
        EXPECT_TRUE(stdout_is(r, ""));
        EXPECT_TRUE(stderr_is(r, c.diagnostic + USAGE));
    }
    EXPECT_TRUE(sim.trace().empty()) << "the device was opened";
}

TEST_F(RegdumpTest, unopenable_device_exits_with_1_after_the_settings_lines)
{
    struct Case {
        const char* fault;
        const char* line;
    };
    const Case cases[] = {
        {"dev-missing", "ERROR#2 at bool fpga_io_init()#103: No such file or directory\n"},
        {"dev-denied", "ERROR#13 at bool fpga_io_init()#103: Permission denied\n"},
    };
    for (const Case& c : cases) {
        sim.clear_faults();
        sim.fault(c.fault);
        Result r = regdump({"-v", "-o", "-d", "0x3c", "-r", "0x7"});
        EXPECT_TRUE(status_is(r, 1));
        EXPECT_TRUE(stdout_is(r, "bus = O\ndev_addr = 0x3C\nreg_addr = 0x07\n"));
        EXPECT_TRUE(stderr_is(r, c.line));
    }
}

}  // namespace
}  // namespace regdump_test
