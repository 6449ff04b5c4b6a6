// Odd command lines for every command-line tool: unknown options, missing
// arguments, huge numbers, empty strings, 64 KiB strings and bytes that are
// not ASCII. Each run must end by itself with a status the tool defines,
// never by a signal, and stay clean under the sanitizer build.
#include "sim_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::SimOptions;

using Args = std::vector<std::string>;

const std::string long_text(65536, 'A');
const std::string long_digits(65536, '9');
const std::string high_bytes = "\xff\xfe\x80\xc3\xa9";
const std::string control_bytes = std::string("\x01\x1b[2J\x7f", 6);

// Argument lists every tool gets, after its name.
std::vector<Args> odd_argument_lists()
{
    return {
        {"-z"},
        {"--bogus"},
        {"--"},
        {"-"},
        {"---"},
        {"-?"},
        {""},
        {"", ""},
        {"", "", ""},
        {long_text},
        {"--" + long_text},
        {"-" + long_text},
        {long_digits, long_digits},
        {high_bytes},
        {"-" + high_bytes},
        {"--" + high_bytes},
        {control_bytes, control_bytes},
        {"18446744073709551616", "-1"},
        {"0x" + std::string(64, 'f'), "-0x8000000000000000"},
        {"-v", "-v", "-v", "-v"},
    };
}

bool sanitizer_spoke(const Result& r)
{
    return r.err.find("Sanitizer") != std::string::npos ||
           r.err.find("runtime error:") != std::string::npos;
}

// Runs `tool` with every list in `lists`; every run ends with status 0 or 1.
void run_all(SimCamera& sim, const std::string& tool, const std::vector<Args>& lists)
{
    for (const Args& extra : lists) {
        Args argv = {tool};
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string shown;
        for (const std::string& a : extra)
            shown += "[" + a.substr(0, 40) + (a.size() > 40 ? "...(" + std::to_string(a.size()) + ")" : "") + "] ";
        Result r = sim.run(argv);
        EXPECT_EQ(r.signal, 0) << tool << " " << shown << "killed by signal " << r.signal << "\n" << r.err.substr(0, 2000);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << tool << " " << shown << "status " << r.status << "\n" << r.err.substr(0, 2000);
        EXPECT_FALSE(sanitizer_spoke(r)) << tool << " " << shown << "\n" << r.err.substr(0, 4000);
    }
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(CommandLine, update_ends_with_a_defined_status_on_every_odd_argument_list)
{
    REQUIRE_TOOL("update");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::vector<Args> lists = odd_argument_lists();
    lists.push_back({"-r", long_text});
    lists.push_back({"-e", "-r", "-v", high_bytes});
    lists.push_back({"--rel", "--verb", "--era"});
    lists.push_back({"--release=1"});
    run_all(sim, "update", lists);

    // Unknown options and a path that does not fit end before the device is opened.
    uint64_t opens = 0;
    {
        auto lock = sim.model().lock();
        opens = sim.model().state().core.dev_opens;
    }
    Result r = sim.run({"update", "--bogus", "x"});
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(has(r.err, "usage: update [-r] [-v] [-e] <fpga_config_file>\n"));
    r = sim.run({"update", long_text});
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(has(r.err, "Image path too long (65536 characters, at most 4095)\n")) << r.err.substr(0, 300);
    auto lock = sim.model().lock();
    EXPECT_EQ(sim.model().state().core.dev_opens, opens) << "refused before the device was opened";
}

TEST(CommandLine, regdump_ends_with_a_defined_status_on_every_odd_argument_list)
{
    REQUIRE_TOOL("regdump");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::vector<Args> lists = odd_argument_lists();
    for (const char* opt : {"-c", "-d", "-r", "--count", "--dev", "--reg"}) {
        lists.push_back({opt});                       // missing argument
        lists.push_back({opt, ""});                   // empty number
        lists.push_back({opt, long_digits});          // number far past 64 bits
        lists.push_back({opt, "-1"});
        lists.push_back({opt, "0x" + std::string(4096, 'F')});
        lists.push_back({opt, high_bytes});
        lists.push_back({opt, "077777777777777777777777"});
    }
    lists.push_back({"-i", "-d", "0x50", "-r", "4", "-c", "0x104"});
    lists.push_back({"-2", "-o", "-f", "-v", "-c", "255", "-r", "0xff"});
    run_all(sim, "regdump", lists);

    Result r = sim.run({"regdump", "-c"});
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(has(r.err, "usage: regdump [options]\n"));
    // A number far past 64 bits saturates in strtoul; its low 8 bits are 0xFF.
    r = sim.run({"regdump", "-i", "-d", "0x50", "-c", long_digits});
    EXPECT_TRUE(qxtest::status_is(r, 0));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 16) << "255 cells: 16 rows, the last one short";
}

TEST(CommandLine, dac_ends_with_a_defined_status_on_every_odd_argument_list)
{
    REQUIRE_TOOL("dac");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::vector<Args> lists = odd_argument_lists();
    lists.push_back({"-u", long_text, "-d"});
    lists.push_back({"--up=" + long_text});
    run_all(sim, "dac", lists);

    Result r = sim.run({"dac", "--bogus"});
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(has(r.err, "usage: dac [options]\n"));
}

TEST(CommandLine, biasset_ends_with_a_defined_status_on_every_odd_argument_list)
{
    REQUIRE_TOOL("biasset");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::vector<Args> lists = odd_argument_lists();
    for (const std::string& value : {std::string(""), long_digits, std::string("-1"), high_bytes,
                                     std::string("18446744073709551616"), std::string(" 12"),
                                     std::string("0x"), std::string("0x3FF"), control_bytes}) {
        lists.push_back({"VREF", value});
        lists.push_back({long_text, value});
        lists.push_back({high_bytes, value});
        lists.push_back({"", value});
    }
    run_all(sim, "biasset", lists);

    // Nothing that is not a name and a number in range reaches the DAC.
    sim.clear_trace();
    for (const std::string& value : {std::string(""), long_digits, std::string("-1"), high_bytes})
        sim.run({"biasset", "VREF", value});
    sim.run({"biasset", long_text, "12"});
    sim.run({"biasset", high_bytes, "12"});
    EXPECT_TRUE(qxtest::proc_lines(sim.trace()).empty());
    Result r = sim.run({"biasset", "vref", "0x3FF"});
    EXPECT_TRUE(qxtest::status_is(r, 0)) << r.err;
}
