// The update tool at the bench: the real binary against a fresh simulated
// camera, checked by its output, exit status and register traffic.

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <string>
#include <vector>

#include "update_support.h"

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::SimOptions;
using qxtest::status_is;
using qxtest::stderr_is;
using qxtest::stdout_ends_with;
using qxtest::stdout_is;

using namespace update_test;
using qxtest::read_file;

const uint32_t I2C_ISB_REG_ADDR = 0x188;

TEST(UpdateCommandLine, help_and_unknown_options_print_usage_and_fail)
{
    SimCamera sim;
    for (const char* option : {"--help", "-h", "--bogus"}) {
        Result r = sim.run({"update", option});
        EXPECT_TRUE(status_is(r, 1)) << option;
        EXPECT_TRUE(stdout_is(r, "")) << option;
        EXPECT_TRUE(qxtest::stderr_contains(r, USAGE)) << option;
    }
    EXPECT_TRUE(stderr_is(sim.run({"update", "--help"}), USAGE));
    EXPECT_TRUE(qxtest::register_traffic(sim.trace()).empty());
}

TEST(UpdateCommandLine, missing_image_path_is_a_failed_run)
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

TEST(UpdateCommandLine, path_of_buffer_size_is_refused_before_the_device_opens)
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

TEST(UpdateRelease, failed_identification_read_keeps_the_named_image)
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

// A read of an absent device (another tool's) leaves the ISB master's error
// bit set. It is not the next run's failure: the sensor read and dac go on.
TEST(UpdateRelease, sensor_read_and_dac_go_on_after_another_tools_naked_read)
{
    SimCamera sim(SimOptions{"LUX19HS-C"});
    auto naked_read = [&sim] { EXPECT_TRUE(status_is(sim.run({"regdump", "-i", "-d", "0x51", "-c", "1"}), 1)); };
    naked_read();
    Result r = sim.run({"update", "-r", "-v", "-e"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stderr_is(r, ""));
    EXPECT_TRUE(qxtest::stdout_starts_with(r, "i2c_wait_idle: error bit left by an earlier transaction: 0x40000000\n"
                                              "i2c_read: reg_addr=0x04 reg_data=0x43\n"));
    EXPECT_TRUE(qxtest::stdout_contains(r, "Update from [/usr/local/bin/orvane/firmware/qx_lux19hs.rbf]\n"));

    naked_read();
    sim.clear_trace();
    Result dac = sim.run({"dac", "-u"});
    EXPECT_TRUE(status_is(dac, 0));
    EXPECT_TRUE(stdout_is(dac, ""));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), 0x180).size(), 19u) << "all 19 rows";
}

TEST(UpdateRelease, unknown_sensor_keeps_the_named_image_and_tells_only_when_verbose)
{
    SimCamera sim(SimOptions{"XH9C"});
    const std::string not_found = "Unable to open 'missing.rbf' [No such file or directory]\n";
    Result r = sim.run({"update", "-r", "-v", "missing.rbf"});
    EXPECT_TRUE(qxtest::stdout_contains(r, "reg_data=0x43\nUnknown sensor ID read [0x43394858]\n"
                         "Update from [missing.rbf]\nEnable 4-byte mode\n"));
    EXPECT_TRUE(stderr_is(r, not_found));

    r = sim.run({"update", "-r", "missing.rbf"});
    EXPECT_TRUE(stdout_is(r, ""));
    EXPECT_TRUE(stderr_is(r, not_found));

    r = sim.run({"update", "-r"});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stderr_is(r, USAGE));
}

// Idle status after a command: the EPCQ-L1024's ID stays in bits 15..8.
const char IDLE[] = "0x00002100";

TEST(UpdateFlash, quiet_update_programs_a_short_final_block_and_boots_it)
{
    SimCamera sim;
    std::string image = make_image(sim, "app.rbf", 299);
    Result r = sim.run({"update", image});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stderr_is(r, ""));
    EXPECT_TRUE(stdout_is(r, std::string("Erase 0x07ff0000...\n\r-Erasing complete [") + IDLE +
                                 "]\nErase 0x02000000...\n\r-Erasing complete [" + IDLE +
                                 "]\nWrite to 33554432 [0x2000000] from file '" + image +
                                 "'\n\r  0.0%    \r 85.6%    \r100.0%    Programming complete\n"
                                 "Verify from 33554432 [0x2000000] with file '" + image +
                                 "'\n\r  0.0%    \r 85.6%    \r100.0%    "
                                 "\nVerification complete\n"));

    // The last 43 bytes go as 11 words; the padding leaves the flash erased.
    EXPECT_EQ(flash_holds(sim, APP_BASE, 512), read_file(image) + std::string(213, '\xFF'));
    EXPECT_EQ(flash_holds(sim, RECORD_ADDR, 12), VALID_RECORD);
    EXPECT_EQ(protect_bits(sim), 0x5C);
    EXPECT_EQ(booted(sim).image, qxsim::BOOT_APPLICATION);
    EXPECT_EQ(booted(sim).cause, qxsim::BOOT_BY_RECONFIG);

    auto t = sim.trace();
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_LENGTH),
              (std::vector<uint32_t>{256, 43, 256, 43, 12}));
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_CMD),
              (std::vector<uint32_t>{0x1, 0x2, 0x20, 0x40, 0x40, 0x208, 0x208, 0x210, 0x210, 0x1000,
                                     0, 0x8, 0x20}));
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_PROTECT_CODE), (std::vector<uint32_t>{0x68, 0x5C}));
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_RECONFIG), (std::vector<uint32_t>{0x10}));
    EXPECT_EQ(qxtest::reads_of(t, qxsim::ASMI_RD_FIFO), 75u);
}

TEST(UpdateFlash, verification_compares_only_the_file_bytes_of_the_last_word)
{
    SimCamera sim;
    std::string image = make_image(sim, "app.rbf", 299);
    sim.fault("asmi.corrupt-read", {"0x2000128", "0xFF000000"});
    EXPECT_TRUE(status_is(sim.run({"update", image}), 0));
    sim.fault("asmi.corrupt-read", {"0x2000128", "0x00800000"});
    Result r = sim.run({"update", image});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_ends_with(r, "Unable to verify the application image!\n"));
}

TEST(UpdateFlash, verbose_update_tells_every_step)
{
    SimCamera sim;
    std::string image = make_image(sim, "app.rbf", 512);
    Result r = sim.run({"update", "-v", image});
    EXPECT_TRUE(status_is(r, 0));
    std::string idle = IDLE;
    EXPECT_TRUE(stdout_is(r, "Enable 4-byte mode\nID: 0x21 (" + idle + ")\n    EPCQ-L1024\n"
        "Writing protect code: 0x68\nProtect complete [" + idle + "]\n"
        "\r-Erasing sector at address 0x07ff0000\nErasing complete [" + idle + "]\n"
        "\r-Erasing sector at address 0x02000000\nErasing complete [" + idle + "]\n"
        "Write to 33554432 [0x2000000] from file '" + image + "'\n"
        "\r  0.0%    \r 50.0%    \r100.0%    Programming complete\n"
        "Verify from 33554432 [0x2000000] with file '" + image + "'\n"
        "\r  0.0%    \r 50.0%    \r100.0%    \nVerification complete\n"
        "Write 0x02000000 0x00000040 0xfdffffff to 134217712 [0x7fffff0]\n"
        "cmd_value | ASMI_WRITE = 0x8\nAfter write, FIFO level = 0 (0x0)\n"
        "Writing protect code: 0x5C\nProtect complete [" + idle + "]\n"
        "Reconfigure starting\nReconfiguration in progress\nDone\n"));
    EXPECT_EQ(flash_holds(sim, APP_BASE, 512), read_file(image));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), qxsim::ASMI_ADDR),
              (std::vector<uint32_t>{0x7FF0000, APP_BASE, APP_BASE, APP_BASE + 256, APP_BASE,
                                     APP_BASE + 256, RECORD_ADDR}));
}

TEST(UpdateRelease, each_sensor_code_writes_its_own_image)
{
    const struct { const char* sensor; const char* image; } cases[] = {
        {"LUX13HS-C", "qx_lux13hs.rbf"}, {"LUX13HS-M", "qx_lux13hs.rbf"},
        {"LUX19HS-C", "qx_lux19hs.rbf"}, {"LUX19HS-M", "qx_lux19hs.rbf"},
        {"LINCE5M-C", "qx_lince5m.rbf"}, {"LINCE5M-M", "qx_lince5m.rbf"},
    };
    for (const auto& c : cases) {
        SimCamera sim(SimOptions{c.sensor});
        int seed = 1;
        for (const char* image : {"qx_lux13hs.rbf", "qx_lux19hs.rbf", "qx_lince5m.rbf"})
            make_image(sim, std::string("firmware/") + image, 1000, seed++);
        std::string named = make_image(sim, "named.rbf", 1000, seed);
        Result r = sim.run({"update", "-r", "-v", named});
        EXPECT_TRUE(status_is(r, 0)) << c.sensor;
        EXPECT_TRUE(qxtest::stdout_contains(r, std::string("Update from [/usr/local/bin/orvane/firmware/") + c.image +
                             "]\n"))
            << c.sensor;
        EXPECT_EQ(flash_holds(sim, APP_BASE, 1000), read_file(sim.dir() + "/firmware/" + c.image))
            << c.sensor;
    }
}

TEST(UpdateErase, erase_only_run_erases_and_restarts_without_locking)
{
    SimCamera sim;
    std::string image = make_image(sim, "app.rbf", 5 * 65536 + 1);
    ASSERT_TRUE(status_is(sim.run({"update", image}), 0));
    sim.clear_trace();
    Result r = sim.run({"update", "-e", image});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(stdout_is(r, std::string("Erase 0x07ff0000...\n\r-Erasing complete [") + IDLE +
                                 "]\nErase 0x02000000...\n\r-\r\\\r|\r/\r-\r\\Erasing complete [" +
                                 IDLE + "]\nJumping out\n"));
    EXPECT_EQ(flash_holds(sim, APP_BASE, 6 * 65536), std::string(6 * 65536, '\xFF'));
    EXPECT_EQ(flash_holds(sim, RECORD_ADDR, 12), ERASED_RECORD);
    EXPECT_EQ(protect_bits(sim), 0x68);
    EXPECT_EQ(booted(sim).image, qxsim::BOOT_FACTORY);
    auto t = sim.trace();
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_PROTECT_CODE), (std::vector<uint32_t>{0x68}));
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_RECONFIG), (std::vector<uint32_t>{0x10}));

    // An empty image erases the offset sector alone; the largest image fits.
    r = sim.run({"update", "-e", make_image(sim, "empty.rbf", 0)});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(qxtest::stdout_contains(r, "Erase 0x02000000...\nErasing complete [0x00000000]\nJumping out\n"));
    std::string largest = make_image(sim, "largest.rbf", 0);
    ASSERT_EQ(truncate(largest.c_str(), 0x5FF0000), 0);
    sim.clear_trace();
    EXPECT_TRUE(status_is(sim.run({"update", "-e", largest}), 0));
    EXPECT_EQ(qxtest::writes_to(sim.trace(), qxsim::ASMI_ADDR).size(), 1u + 1535u);
}

TEST(UpdateRefusals, images_that_cannot_be_programmed_stop_before_the_unlock)
{
    SimCamera sim;
    std::string empty = make_image(sim, "empty.rbf", 0);
    std::string big = make_image(sim, "big.rbf", 0);
    ASSERT_EQ(truncate(big.c_str(), 0x5FF0001), 0);
    std::string missing = sim.dir() + "/missing.rbf";
    // A FIFO or a directory is refused without waiting on it; a file whose
    // content is not what its size says (proc, sysfs) is read to its end
    // first and refused then.
    std::string fifo = sim.dir() + "/fifo.rbf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct { std::string path, line; } cases[] = {
        {empty, "'" + empty + "' is empty\n"},
        {big, "'" + big + "' does not fit the application region (100597761 > 100597760 bytes)\n"},
        {missing, "Unable to open '" + missing + "' [No such file or directory]\n"},
        {fifo, "'" + fifo + "' is not a regular file\n"},
        {sim.dir(), "'" + sim.dir() + "' is not a regular file\n"},
        {"/proc/self/status", "'/proc/self/status' does not hold the 0 bytes its size says (read 256)\n"},
    };
    for (const auto& c : cases) {
        sim.clear_trace();
        Result r = sim.run({"update", "-v", c.path});
        EXPECT_TRUE(status_is(r, 1));
        EXPECT_TRUE(stderr_is(r, c.line));
        EXPECT_TRUE(stdout_ends_with(r, "    EPCQ-L1024\nBail...\n"));
        EXPECT_TRUE(qxtest::writes_to(sim.trace(), qxsim::ASMI_PROTECT_CODE).empty()) << c.path;
    }
    // A sysfs file says 4096 bytes and holds a few.
    const std::string sysfs = "/sys/devices/system/cpu/online";
    if (::access(sysfs.c_str(), R_OK) == 0) {
        sim.clear_trace();
        Result r = sim.run({"update", sysfs});
        EXPECT_TRUE(status_is(r, 1));
        EXPECT_TRUE(qxtest::stderr_contains(r, "'" + sysfs + "' does not hold the 4096 bytes its size says (read "));
        EXPECT_TRUE(qxtest::writes_to(sim.trace(), qxsim::ASMI_PROTECT_CODE).empty());
    }
}

// Each failure stops the run where it happens, with status 1: no lock, no
// restart, no offset record.
TEST(UpdateFailures, every_stop_ends_the_run_as_a_failure)
{
    const struct {
        const char* fault;
        std::vector<std::string> args;
        uint32_t image_size;
        bool unlocks;
        const char* last_lines;  // before "Bail..."
    } cases[] = {
        {"asmi.device-id", {"0x20"}, 300, false,
         "ID: 0x20 (0x00002000)\n    EPCQ-L512\n    not supported.\n"},
        {"asmi.device-id", {"0x19"}, 300, false,
         "ID: 0x19 (0x00001900)\n    EPCQ-L256\n    not supported.\n"},
        {"asmi.device-id", {"0x7e"}, 300, false, "ID: 0x7E (0x00007E00)\n    <unknown>\n"},
        {"asmi.busy-reads", {"100"}, 300, false, "Enable 4-byte mode\n"},
        {"eio-reg", {"0x1010", "write"}, 300, false,
         "Writing protect code: 0x68\nUnable to unlock the sectors!\n"},
        {"asmi.erase-error", {"0x7ff0000"}, 300, true,
         "STATUS = 0x00002102\nSector erase at addr 0x07ff0000 FAILED!\n"
         "Unable to erase the offset sector!\n"},
        {"asmi.erase-error", {"0x2010000"}, 65537, true,
         "STATUS = 0x00002102\nSector erase at addr 0x02010000 FAILED!\n"
         "Unable to erase the application sectors!\n"},
        {"asmi.write-error", {"0x2000100"}, 300, true,
         "Write to addr 0x02000100 FAILED!\nUnable to program the application image!\n"},
        {"asmi.fifo-level", {"wr", "2"}, 300, false,
         "FIFOs not empty (write 2, read 0 words): clearing them\n"
         "FIFOs still not empty (write 2, read 0 words): nothing unlocked\n"},
        {"asmi.fifo-level", {"wr", "1", "3"}, 300, true,
         "FIFO level isn't correct! (65 != 64)\nUnable to program the application image!\n"},
        {"asmi.fifo-level", {"rd", "1", "2"}, 300, true,
         "Somethings wrong, RD_FIFO level = 1\nUnable to verify the application image!\n"},
        {"asmi.corrupt-read", {"0x2000104"}, 300, true,
         "Verification failure [0x3f38312b != 0x3f38312a]\n"
         "Unable to verify the application image!\n"},
    };
    for (const auto& c : cases) {
        SimCamera sim;
        std::string image = make_image(sim, "app.rbf", c.image_size);
        sim.fault(c.fault, c.args);
        Result r = sim.run({"update", "-v", image});
        std::string tail = std::string(c.last_lines) + "Bail...\n";
        EXPECT_TRUE(status_is(r, 1)) << c.fault;
        EXPECT_TRUE(stdout_ends_with(r, tail)) << c.fault;
        auto t = sim.trace();
        EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_PROTECT_CODE),
                  c.unlocks ? std::vector<uint32_t>{0x68} : std::vector<uint32_t>{})
            << c.fault;
        EXPECT_TRUE(qxtest::writes_to(t, qxsim::ASMI_RECONFIG).empty()) << c.fault;
        EXPECT_EQ(flash_holds(sim, RECORD_ADDR, 12), ERASED_RECORD) << c.fault;
        if (std::string(c.fault) == "asmi.erase-error") {
            // An erase error that was seen is cleared.
            EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_STATUS), std::vector<uint32_t>{qxsim::ASMI_STATUS_ERASE_ERR});
        }
        if (tail.find("verify") != std::string::npos) {
            EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_CMD).back(), 0u) << c.fault;
        }
    }
}

// Faults aimed at one access of a run: the erase whose end cannot be seen and
// the failed lock. A reference run on a twin camera finds the access.
TEST(UpdateFailures, unseen_erase_end_and_failed_lock_stop_the_run)
{
    // Three application sectors, so that an erase after the first can fail.
    const size_t image_size = 2 * 65536 + 300;
    SimCamera twin;
    Result ok = twin.run({"update", "-v", make_image(twin, "app.rbf", image_size)});
    ASSERT_TRUE(status_is(ok, 0));
    auto t = twin.trace();
    auto erase_cmd = [](const qxtest::TraceRecord& a) {
        return a.kind == 'W' && a.reg == qxsim::ASMI_CMD && a.value == qxsim::ASMI_SECTOR_ERASE;
    };
    auto protect_write = [](const qxtest::TraceRecord& a) {
        return a.kind == 'W' && a.reg == qxsim::ASMI_PROTECT_CODE;
    };
    size_t lock_write = access_number(t, protect_write, 1);
    const struct {
        const char* fault;
        size_t access;
        const char* last_lines;
        bool erase_unseen;
    } cases[] = {
        // The idle reading and the reading after it fail, then the direct
        // one: nothing says the sector was erased, and no error bit was seen
        // that could be cleared. On the offset sector and on the second
        // application sector.
        {"eio-from", access_number(t, erase_cmd) + 2,
         "\r-Erasing sector at address 0x07ff0000\nSector erase at addr 0x07ff0000 FAILED!\n"
         "Unable to erase the offset sector!\nBail...\n", true},
        {"eio-from", access_number(t, erase_cmd, 2) + 2,
         "\r\\Erasing sector at address 0x02010000\nSector erase at addr 0x02010000 FAILED!\n"
         "Unable to erase the application sectors!\nBail...\n", true},
        {"eio-at", lock_write,
         "Writing protect code: 0x5C\nUnable to lock the sectors!\nBail...\n", false},
    };
    for (const auto& c : cases) {
        SimCamera sim;
        std::string image = make_image(sim, "app.rbf", image_size);
        sim.fault(c.fault, {std::to_string(c.access)});
        Result r = sim.run({"update", "-v", image});
        std::string tail = c.last_lines;
        EXPECT_TRUE(status_is(r, 1)) << c.fault;
        EXPECT_TRUE(stdout_ends_with(r, tail)) << c.fault;
        auto trace = sim.trace();
        EXPECT_TRUE(qxtest::writes_to(trace, qxsim::ASMI_RECONFIG).empty()) << c.fault;
        EXPECT_EQ(protect_bits(sim), 0x68) << c.fault;
        if (c.erase_unseen) {
            size_t status_writes = 0;  // failed ones included
            for (const qxtest::TraceRecord& a : trace)
                status_writes += a.kind == 'W' && a.reg == qxsim::ASMI_STATUS;
            EXPECT_EQ(status_writes, 0u) << tail;
        }
    }
}

// A quiet run takes any part it does not know, but not one it knows to be
// too small for the layout: the offset record would land beyond its end.
TEST(UpdateFailures, quiet_run_refuses_only_parts_known_too_small_and_minds_no_status_clearing_on_its_last_poll)
{
    SimCamera sim;
    std::string image = make_image(sim, "app.rbf", 300);
    for (const char* id : {"0x20", "0x19"}) {
        sim.clear_trace();
        sim.fault("asmi.device-id", {id});
        Result r = sim.run({"update", image});
        EXPECT_TRUE(status_is(r, 1)) << id;
        EXPECT_TRUE(stdout_is(r, id == std::string("0x20") ? "    EPCQ-L512\n    not supported.\n"
                                                            : "    EPCQ-L256\n    not supported.\n"));
        EXPECT_TRUE(qxtest::writes_to(sim.trace(), qxsim::ASMI_PROTECT_CODE).empty()) << id;
    }
    sim.fault("asmi.device-id", {"0x7e"});
    sim.fault("asmi.busy-reads", {"99"});
    EXPECT_TRUE(status_is(sim.run({"update", image}), 0));
    EXPECT_EQ(flash_holds(sim, APP_BASE, 300), read_file(image));
    EXPECT_EQ(booted(sim).image, qxsim::BOOT_APPLICATION);
}

// With datasheet timing a sector erase outlasts the status wait, so the erase
// goes round its 100 ms cycles; a sector that stays busy is given up on.
TEST(UpdateTiming, slow_erase_is_waited_for_in_cycles_and_given_up_after_fifty)
{
    SimCamera sim;
    std::string empty = make_image(sim, "empty.rbf", 0);
    ASSERT_TRUE(status_is(sim.cli({"flash", "timing", "datasheet", "250000", "400", "400"}), 0));
    Result r = sim.run({"update", "-v", "-e", empty});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(qxtest::stdout_contains(r, "\r-Erasing sector at address 0x07ff0000\nSTATUS = 0x00002101\n"));
    EXPECT_TRUE(stdout_ends_with(r, "\nErasing complete [0x00002100]\n"
                                    "Erasing complete [0x00000000]\nJumping out\n"
                                    "Reconfigure starting\nReconfiguration in progress\nDone\n"));

    // A sector erase of 60 s: 50 cycles of 100 ms (5 s), then nothing more.
    ASSERT_TRUE(status_is(sim.cli({"flash", "timing", "datasheet", "60000000", "400", "400"}), 0));
    sim.clear_trace();
    r = sim.run({"update", "-v", "-e", empty});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_ends_with(r, "STATUS = 0x00002101\n"
                                    "Waiting for the sector erase took too long!\n"
                                    "Unable to erase the offset sector!\nBail...\n"));
    size_t status_lines = 0;
    for (size_t p = 0; (p = r.out.find("STATUS = ", p)) != std::string::npos; p++)
        status_lines++;
    EXPECT_EQ(status_lines, 50u);
    auto t = sim.trace();
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_CMD).back(), qxsim::ASMI_SECTOR_ERASE) << "no further command";
    EXPECT_TRUE(qxtest::writes_to(t, qxsim::ASMI_RECONFIG).empty());
}

}  // namespace


// A signal between the unlock and the lock, arriving during an access of
// each phase: the operation in progress is finished, the FIFOs are cleared,
// the flash is locked again, and the next update succeeds without a power
// cycle.
TEST(UpdateInterrupt, a_signal_in_each_phase_ends_the_run_locked_and_the_next_update_succeeds)
{
    const size_t image_size = 70000;  // two application sectors, 274 blocks
    const std::vector<TraceRecord> ref = reference_run({"app.rbf"}, image_size);
    const std::string incomplete = "the application image is not complete, the FPGA will load its factory image\n";
    const struct {
        const char* phase;
        const char* signal;
        Match at;
        size_t skip;
        Match finished;  // the operation the signal came in, and how often it went out
        size_t times;
        std::string line;
    } cases[] = {
        {"unlock", "INT", command(0x20), 0, command(0x40), 0,
         "Interrupted by SIGINT: the flash is locked again; nothing was erased\n"},
        {"erase", "TERM", command(0x40), 1, command(0x40), 2,
         "Interrupted by SIGTERM: the flash is locked again; " + incomplete},
        {"program", "HUP", access('W', qxsim::ASMI_WR_FIFO), 70, command(0x208), 2,
         "Interrupted by SIGHUP: the flash is locked again; " + incomplete},
        {"verify", "INT", access('R', qxsim::ASMI_RD_FIFO), 200, command(0x210), 4,
         "Interrupted by SIGINT: the flash is locked again; " + incomplete},
        {"record", "TERM", command(0x8), 0, command(0x8), 1,
         "Interrupted by SIGTERM: the flash is locked again; the new application image is complete\n"},
    };
    for (const auto& c : cases) {
        SimCamera sim;
        std::string image = make_image(sim, "app.rbf", image_size);
        size_t n = access_number(ref, c.at, c.skip);
        ASSERT_GT(n, 0u) << c.phase;
        sim.fault("kill-at", {std::to_string(n), c.signal});
        Result r = sim.run({"update", image});
        EXPECT_TRUE(status_is(r, 1)) << c.phase;
        EXPECT_TRUE(stdout_ends_with(r, "\n" + c.line)) << c.phase;
        auto t = sim.trace();
        EXPECT_EQ(count_of(t, c.finished), c.times) << c.phase;
        EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_PROTECT_CODE), (std::vector<uint32_t>{0x68, 0x5C})) << c.phase;
        EXPECT_TRUE(qxtest::writes_to(t, qxsim::ASMI_RECONFIG).empty()) << c.phase;
        EXPECT_EQ(protect_bits(sim), 0x5C) << c.phase;
        EXPECT_EQ(sim.peek(qxsim::ASMI_WR_FIFO_LEVEL), 0u) << c.phase;
        EXPECT_EQ(sim.peek(qxsim::ASMI_RD_FIFO_LEVEL), 0u) << c.phase;
        EXPECT_EQ(flash_holds(sim, RECORD_ADDR, 12),
                  std::string(c.phase) == "record" ? VALID_RECORD
                  : std::string(c.phase) == "unlock" ? flash_holds(sim, RECORD_ADDR, 12)
                                                     : ERASED_RECORD)
            << c.phase;

        Result again = sim.run({"update", image});
        EXPECT_TRUE(status_is(again, 0)) << c.phase;
        EXPECT_EQ(again.out.find("FIFOs not empty"), std::string::npos) << c.phase;
        EXPECT_EQ(flash_holds(sim, APP_BASE, image_size), read_file(image)) << c.phase;
        EXPECT_EQ(booted(sim).image, qxsim::BOOT_APPLICATION) << c.phase;
    }
}

// Killed outright in the middle of programming (no chance to clean up):
// the words it pushed wait in the write FIFO and the flash stays unlocked.
// The next update clears the FIFO before it unlocks, and succeeds.
TEST(UpdateInterrupt, an_update_after_a_run_killed_while_programming_succeeds_without_a_power_cycle)
{
    const std::vector<TraceRecord> ref = reference_run({"app.rbf"}, 70000);
    SimCamera sim;
    std::string image = make_image(sim, "app.rbf", 70000);
    sim.fault("kill-at", {std::to_string(access_number(ref, access('W', qxsim::ASMI_WR_FIFO), 100))});
    Result killed = sim.run({"update", image});
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_EQ(sim.peek(qxsim::ASMI_WR_FIFO_LEVEL), 100u - 64u);
    EXPECT_EQ(protect_bits(sim), 0x68);

    sim.clear_trace();
    Result r = sim.run({"update", image});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(qxtest::stdout_starts_with(r, "FIFOs not empty (write 36, read 0 words): clearing them\n"));
    auto t = sim.trace();
    // The clear pulse comes before the unlock.
    EXPECT_LT(access_number(t, command(0x1000)), access_number(t, command(0x20)));
    EXPECT_EQ(flash_holds(sim, APP_BASE, 70000), read_file(image));
    EXPECT_EQ(booted(sim).image, qxsim::BOOT_APPLICATION);
}

// An erase-only run ends as such a run ends, interrupted or not: unlocked,
// and the FPGA restarted (from its factory image).
TEST(UpdateInterrupt, an_interrupted_erase_only_run_stops_after_the_sector_in_progress)
{
    const std::vector<TraceRecord> ref = reference_run({"-e", "app.rbf"}, 200000);
    SimCamera sim;
    std::string image = make_image(sim, "app.rbf", 200000);
    sim.fault("kill-at", {std::to_string(access_number(ref, command(0x40), 2)), "INT"});
    Result r = sim.run({"update", "-e", image});
    EXPECT_TRUE(status_is(r, 1));
    EXPECT_TRUE(stdout_ends_with(r, "\nInterrupted by SIGINT: the erase stopped, the flash stays unlocked\n"
                                    "Jumping out\n"));
    auto t = sim.trace();
    EXPECT_EQ(count_of(t, command(0x40)), 3u) << "the offset sector and two of four application sectors";
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_PROTECT_CODE), std::vector<uint32_t>{0x68});
    EXPECT_EQ(qxtest::writes_to(t, qxsim::ASMI_RECONFIG), std::vector<uint32_t>{0x10});
    EXPECT_EQ(booted(sim).image, qxsim::BOOT_FACTORY);
}

// A closed output ends no update: `update -r | head -c 20` goes on to the
// lock and the restart, its later output lost.
TEST(UpdateInterrupt, a_closed_output_loses_only_output)
{
    SimCamera sim(SimOptions{"LUX19HS-C"});
    Result r = sim.shell("{ '" + qxtest::tool_path("update") + "' -r; echo $? > '" + sim.dir() +
                         "/status'; } | head -c 20");
    EXPECT_EQ(r.out, "Erase 0x07ff0000...\n");
    EXPECT_EQ(read_file(sim.dir() + "/status"), "0\n");
    EXPECT_EQ(protect_bits(sim), 0x5C);
    EXPECT_EQ(booted(sim).image, qxsim::BOOT_APPLICATION);
    EXPECT_EQ(qxtest::writes_to(sim.trace(), qxsim::ASMI_RECONFIG), std::vector<uint32_t>{0x10});
}
