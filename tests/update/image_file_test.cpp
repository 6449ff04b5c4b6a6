// Image files at the edges: every size around a block, a word and a sector,
// a file that cannot be read, and a file that changes between update's
// passes (update_test.cpp has the largest image, one byte more, an empty
// file, a directory and other files that are no image). None may leave the
// camera booting something other than the file as given, or the factory
// image.
#include "update_support.h"

#include "qxsim/model/flash/crc32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::SimOptions;
using namespace update_test;

struct FlashView {
    uint8_t protect;
    uint8_t booted;
    uint32_t length;
    uint32_t checksum;
    uint64_t erases;
};

FlashView flash_view(SimCamera& sim)
{
    auto lock = sim.model().lock();
    qxsim::AsmiController& a = sim.model().asmi();
    return {a.flash().status_reg(), a.boot().state().image, a.boot().state().length,
            a.boot().state().checksum, a.flash().state().erases};
}

// Runs update under the file shim: the QXTEST_SHIM_AT-th open of `path`
// finds it cut to `size` bytes (or refused, for "denied").
Result update_with_shim(SimCamera& sim, const std::string& path, unsigned at, const std::string& size)
{
    return sim.shell("LD_PRELOAD=" QXTEST_FILE_SHIM ":$LD_PRELOAD QXTEST_SHIM_PATH='" + path +
                     "' QXTEST_SHIM_AT=" + std::to_string(at) + " QXTEST_SHIM_SIZE=" + size + " exec '" +
                     qxtest::tool_path("update") + "' '" + path + "'");
}

}  // namespace

TEST(ImageFile, sizes_around_blocks_words_and_sectors_program_exactly_the_file)
{
    REQUIRE_TOOL("update");
    SimCamera sim;
    for (uint32_t size : {1u, 3u, 255u, 256u, 257u, 65535u, 65536u, 65537u}) {
        std::vector<uint8_t> image = pattern(size, size);
        std::string path = sim.dir() + "/sized.bin";
        qxtest::write_file(path, image);
        sim.clear_trace();
        Result r = sim.run({"update", path});
        ASSERT_TRUE(qxtest::status_is(r, 0)) << size << "\n" << r.out << r.err;
        std::vector<qxtest::TraceRecord> t = sim.trace();
        uint32_t sectors = (size + 0xFFFF) / 0x10000;
        EXPECT_EQ(count_of(t, command(qxsim::ASMI_SECTOR_ERASE)), 1u + sectors) << size;
        EXPECT_EQ(count_of(t, command(qxsim::ASMI_WRITE | qxsim::ASMI_IMAGE_DATA)), (size + 255) / 256) << size;

        FlashView v = flash_view(sim);
        EXPECT_EQ(v.booted, qxsim::BOOT_APPLICATION) << size;
        EXPECT_EQ(v.length, size) << size;
        EXPECT_EQ(v.checksum, qxsim::crc32(image.data(), image.size())) << size;
        EXPECT_EQ(v.protect, 0x5C) << size;
        auto lock = sim.model().lock();
        const qxsim::FlashStore& store = sim.model().asmi().flash().store();
        EXPECT_EQ(store.programmed_end(qxsim::APP_REGION_BASE + size, qxsim::APP_REGION_END),
                  qxsim::APP_REGION_BASE + size)
            << size << ": nothing past the file's last byte";
    }
}

TEST(ImageFile, unreadable_file_stops_before_the_flash_is_touched)
{
    REQUIRE_TOOL("update");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::string path = sim.dir() + "/locked.bin";
    qxtest::write_file(path, pattern(1000, 1));
    FlashView before = flash_view(sim);

    // Refused at the length measurement: the open fails as for mode 000.
    Result r = update_with_shim(sim, path, 1, "denied");
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(qxtest::stderr_contains(r, "Unable to open '" + path + "' [Permission denied]\n"));
    EXPECT_EQ(flash_view(sim).erases, before.erases);
    EXPECT_EQ(flash_view(sim).protect, 0x5C);

    if (::geteuid() != 0) {
        ::chmod(path.c_str(), 0);
        r = sim.run({"update", path});
        EXPECT_TRUE(qxtest::stderr_contains(r, "Unable to open '" + path + "' [Permission denied]\n"));
        EXPECT_EQ(flash_view(sim).erases, before.erases);
    }

    EXPECT_EQ(flash_view(sim).booted, qxsim::BOOT_FACTORY);
}

TEST(ImageFile, file_refused_at_the_programming_pass_leaves_no_offset_record)
{
    REQUIRE_TOOL("update");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::string path = sim.dir() + "/app.bin";
    qxtest::write_file(path, pattern(3000, 2));
    Result r = update_with_shim(sim, path, 2, "denied");
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(qxtest::stderr_contains(r, "Unable to open '" + path + "' [Permission denied]\n"));
    EXPECT_TRUE(qxtest::stdout_contains(r, "Unable to program the application image!"));
    EXPECT_TRUE(qxtest::status_is(sim.cli({"power-cycle"}), 0));
    EXPECT_EQ(flash_view(sim).booted, qxsim::BOOT_FACTORY);
}

TEST(ImageFile, file_that_grows_after_the_length_is_taken_is_refused_and_boots_factory)
{
    REQUIRE_TOOL("update");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::string path = sim.dir() + "/app.bin";
    qxtest::write_file(path, pattern(70000, 3));
    // Two sectors erased for 70000 bytes; the programming pass finds 140000,
    // which would run into a sector that was never erased.
    Result r = update_with_shim(sim, path, 2, "140000");
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(qxtest::stdout_contains(r, "Write to 33554432 [0x2000000] from file"));
    EXPECT_TRUE(qxtest::stderr_contains(r, "'" + path + "' changed size since it was measured (140000 != 70000 bytes)\n"));
    EXPECT_TRUE(qxtest::stdout_contains(r, "Unable to program the application image!"));
    EXPECT_TRUE(qxtest::status_is(sim.cli({"power-cycle"}), 0));
    EXPECT_EQ(flash_view(sim).booted, qxsim::BOOT_FACTORY);
}

// A file cut short while update runs (a copy being rewritten in place): the
// passes must not agree on a shorter image than the one measured and erased
// for, or the camera boots the first part of an image.
TEST(ImageFile, file_cut_short_between_passes_leaves_no_offset_record)
{
    REQUIRE_TOOL("update");
    for (unsigned at : {2u, 3u}) {
        SimCamera sim(SimOptions{"LUX13HS-C", false});
        std::string path = sim.dir() + "/app.bin";
        qxtest::write_file(path, pattern(70000, 4));
        Result r = update_with_shim(sim, path, at, "30000");
        EXPECT_EQ(r.signal, 0);
        EXPECT_TRUE(qxtest::status_is(r, 1));
        EXPECT_TRUE(qxtest::stderr_contains(r, "'" + path + "' changed size since it was measured (30000 != 70000 bytes)\n"));
        EXPECT_EQ(r.out.find("Verification complete"), std::string::npos)
            << "cut before pass " << at << "\n" << r.out;
        EXPECT_TRUE(qxtest::status_is(sim.cli({"power-cycle"}), 0));
        EXPECT_EQ(flash_view(sim).booted, qxsim::BOOT_FACTORY) << "cut before pass " << at;
    }
}
