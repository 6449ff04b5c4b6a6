// The update tool at the bench: the real binary against a fresh simulated
// camera, checked by its output, exit status and register traffic.

#include <fstream>
#include <string>
#include <vector>

#include "sim_camera.h"

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::SimOptions;
using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_is;

const uint32_t I2C_ISB_REG_ADDR = 0x188;
const uint32_t ASMI_CMD = 0x1000;
const uint32_t ASMI_PROTECT_CODE = 0x1010;

const char USAGE[] =
    "usage: update [-r] [-v] [-e] <fpga_config_file>\n"
    " -r             --release      \t  Perform a release update\n"
    "\n"
    " -v             --verbose      \t  Enable verbose output\n"
    " -e             --erase        \t  Only erase (no programming)\n";

// A file of `size` bytes in the camera's folder (or its firmware folder),
// filled from `seed` so that two images tell apart.
[[maybe_unused]] std::string make_image(const SimCamera& sim, const std::string& name, size_t size, int seed = 1)
{
    std::string path = sim.dir() + "/" + name;
    std::ofstream out(path, std::ios::binary);
    for (size_t i = 0; i < size; ++i)
        out.put(char((i * 7 + seed * 13 + (i >> 8)) & 0xFF));
    return path;
}

TEST(UpdateCommandLine, HelpAndUnknownOptionsPrintUsageAndFail)
{
    SimCamera sim;
    for (const char* option : {"--help", "-h", "--bogus"}) {
        Result r = sim.run({"update", option});
        EXPECT_TRUE(status_is(r, 1)) << option;
        EXPECT_TRUE(stdout_is(r, "")) << option;
        EXPECT_NE(r.err.find(USAGE), std::string::npos) << option;
    }
    EXPECT_TRUE(stderr_is(sim.run({"update", "--help"}), USAGE));
    EXPECT_TRUE(qxtest::register_traffic(sim.trace()).empty());
}

TEST(UpdateCommandLine, MissingImagePathIsAFailedRun)
{
    SimCamera sim;
    Result r = sim.run({"update"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, USAGE));
    EXPECT_TRUE(stdout_is(r, ""));

    r = sim.run({"update", "-v"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, "Bail...\n"));
    EXPECT_TRUE(qxtest::register_traffic(sim.trace()).empty());
}

TEST(UpdateCommandLine, PathOfBufferSizeIsRefusedBeforeTheDeviceOpens)
{
    SimCamera sim;
    Result r = sim.run({"update", "-v", std::string(4096, 'a')});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, "Image path too long (4096 characters, at most 4095)\n"));
    EXPECT_TRUE(sim.trace().empty());

    // One character less fits: the run goes on to the flash and the file.
    r = sim.run({"update", std::string(4095, 'a')});
    EXPECT_TRUE(stderr_is(r, "Unable to open '" + std::string(4095, 'a') +
                                 "' [File name too long]\n"));
}

TEST(UpdateRelease, FailedIdentificationReadKeepsTheNamedImage)
{
    SimCamera sim;
    sim.fault("i2c-isb.0x50.nak", {"6"});
    Result r = sim.run({"update", "-r", "-v", "missing.rbf"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, "Unable to read address 0x06\n"
                             "Unable to open 'missing.rbf' [No such file or directory]\n"));
    EXPECT_EQ(r.out.rfind("i2c_read: reg_addr=0x04 reg_data=0x43\n"
                          "i2c_read: reg_addr=0x05 reg_data=0x48\n"
                          "i2c_wait_idle: error bit set: 0x40000000\n"
                          "i2c_read: reg_addr=0x06 reg_data=0x00\n"
                          "Enable 4-byte mode\n",
                          0),
              0u)
        << r.out;
    EXPECT_EQ(qxtest::writes_to(sim.trace(), I2C_ISB_REG_ADDR), (std::vector<uint32_t>{4, 5, 6}));
}

TEST(UpdateRelease, UnknownSensorKeepsTheNamedImageAndTellsOnlyWhenVerbose)
{
    SimCamera sim(SimOptions{"XH9C"});
    const std::string not_found = "Unable to open 'missing.rbf' [No such file or directory]\n";
    Result r = sim.run({"update", "-r", "-v", "missing.rbf"});
    EXPECT_NE(r.out.find("reg_data=0x43\nUnknown sensor ID read [0x43394858]\n"
                         "Update from [missing.rbf]\nEnable 4-byte mode\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(stderr_is(r, not_found));

    r = sim.run({"update", "-r", "missing.rbf"});
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, not_found));

    r = sim.run({"update", "-r"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, USAGE));
}

}  // namespace
