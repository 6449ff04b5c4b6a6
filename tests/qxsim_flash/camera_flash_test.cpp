// The flash blocks inside a simulated camera, driven by the real update
// binary and the qxsim front end.
#include "sim_camera.h"

#include "qxsim/model/flash/crc32.h"
#include "qxsim/model/flash/release_images.h"
#include "qxsim/model/fpga/asmi_controller.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::SimOptions;

using qxtest::write_file;

std::vector<uint8_t> file_bytes(const std::string& path)
{
    std::string text = qxtest::read_file(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string crc_text(const std::vector<uint8_t>& v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X\n", qxsim::crc32(v.data(), v.size()));
    return buf;
}

// The image update is given, in the camera's folder: its path.
std::string app_file(const SimCamera& sim, const std::vector<uint8_t>& image)
{
    const std::string path = sim.dir() + "/app.bin";
    write_file(path, image);
    return path;
}

std::vector<uint8_t> small_image(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 0xACE1u + seed;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    v.back() = 0x00;  // the booted length then is the file's length
    return v;
}

}  // namespace

TEST(CameraFlash, fresh_camera_ships_factory_image_locked_and_release_images)
{
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::vector<uint8_t> factory = qxsim::make_image(qxsim::factory_image);
    Result r = sim.cli({"flash", "checksum", "0", std::to_string(factory.size())});
    EXPECT_TRUE(qxtest::status_is(r, 0));
    EXPECT_TRUE(qxtest::stdout_is(r, crc_text(factory)));
    for (const qxsim::MadeUpImage& img : qxsim::release_images)
        EXPECT_EQ(file_bytes(sim.dir() + "/firmware/" + img.file), qxsim::make_image(img)) << img.file;

    const std::string show = sim.show();
    EXPECT_NE(show.find("protection 0x5C: sectors 0..2047"), std::string::npos) << show;
    EXPECT_NE(show.find("boot 1 (power-on): factory image at 0x0000000, 3145800 bytes"), std::string::npos) << show;
    EXPECT_NE(show.find("qx_factory intact"), std::string::npos) << show;
}

TEST(CameraFlash, front_end_reads_dumps_loads_and_checks_its_arguments)
{
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    Result r = sim.cli({"flash", "read", "0", "20"});
    EXPECT_TRUE(qxtest::status_is(r, 0));
    EXPECT_TRUE(qxtest::stdout_is(r, "0x0000000: 51 58 53 49 4d 52 42 46 71 78 5f 66 61 63 74 6f\n"
                                     "0x0000010: 72 79 00 00\n"));
    std::vector<uint8_t> data = small_image(300, 1);
    write_file(sim.dir() + "/in.bin", data);
    EXPECT_TRUE(qxtest::status_is(sim.cli({"flash", "load", "0x3000000", sim.dir() + "/in.bin"}), 0));
    EXPECT_TRUE(qxtest::status_is(sim.cli({"flash", "dump", "0x3000000", "300", sim.dir() + "/out.bin"}), 0));
    EXPECT_EQ(file_bytes(sim.dir() + "/out.bin"), data);

    r = sim.cli({"flash", "read", "0x7FFFFFF", "2"});
    EXPECT_TRUE(qxtest::status_is(r, 1));
    EXPECT_TRUE(qxtest::stderr_is(r, "qxsim: ADDR and LEN must lie inside the 128 MiB array\n"));
    EXPECT_TRUE(qxtest::status_is(sim.cli({"flash", "id", "0x100"}), 1));
    EXPECT_TRUE(qxtest::status_is(sim.cli({"flash", "frobnicate"}), 2));

    EXPECT_TRUE(qxtest::status_is(sim.cli({"flash", "id", "0x20"}), 0));
    EXPECT_TRUE(qxtest::status_is(sim.cli({"flash", "protect", "0x68"}), 0));
    EXPECT_NE(sim.show().find("chip EPCQ-L512 (ID 0x20), 64 MiB"), std::string::npos);
    EXPECT_NE(sim.show().find("protection 0x68: sectors 0..511"), std::string::npos);
}

TEST(CameraFlash, release_update_boots_the_sensors_image)
{
    REQUIRE_TOOL("update");
    SimCamera sim(SimOptions{"LUX19HS-C", false});
    Result r = sim.run({"update", "-r"});
    ASSERT_TRUE(qxtest::status_is(r, 0)) << r.out << r.err;
    EXPECT_TRUE(qxtest::stdout_contains(r, "Verification complete"));

    std::vector<uint8_t> image = qxsim::make_image(qxsim::release_images[1]);
    auto lock = sim.model().lock();
    const qxsim::BootState& b = sim.model().asmi().boot().state();
    EXPECT_EQ(b.image, qxsim::BOOT_APPLICATION);
    EXPECT_EQ(b.cause, qxsim::BOOT_BY_RECONFIG);
    EXPECT_EQ(b.length, image.size());
    EXPECT_EQ(b.checksum, qxsim::crc32(image.data(), image.size()));
    EXPECT_STREQ(b.name, "qx_lux19hs");
    EXPECT_EQ(b.content, qxsim::BOOT_CONTENT_INTACT);
    EXPECT_EQ(sim.model().asmi().flash().status_reg(), 0x5C);
    EXPECT_EQ(sim.model().asmi().flash().state().unerased_programs, 0u);
}

// A cut inside the second erase or the second page program of an update:
// the raw trace ends with the command and the cut with the bytes that
// landed, the decoded trace puts it on that operation, the operation is
// counted, and the camera stays off until a power cycle.
TEST(CameraFlash, torn_operations_are_traced_counted_and_leave_the_camera_off)
{
    REQUIRE_TOOL("update");
    struct Case {
        const char* fault;
        std::vector<std::string> args;
        const char* command_line;  // the last two trace lines, after the pid and time
        const char* cut_line;
        const char* counted;
        const char* decoded;
    } cases[] = {
        {"asmi.torn-erase", {"2", "4096"}, "W 0x00001000 0x00000040", "K erase 0x02000000 4096",
         "sector erases 2, page programs 0,",
         "flash    erase sector 512 at 0x02000000, completion not polled; power cut: the first 4096 of 65536 bytes "
         "erased\n"},
        {"asmi.torn-program", {"2", "40"}, "W 0x00001000 0x00000208", "K program 0x02000100 40",
         "page programs 2,",
         "flash    program 256 bytes at 0x02000100 (image data), completion not polled; power cut: the first 40 of "
         "256 bytes programmed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        SimCamera sim;
        const std::string app = app_file(sim, small_image(1000, 3));
        sim.fault(c.fault, c.args);
        Result r = sim.run({"update", app});
        EXPECT_EQ(r.signal, SIGKILL);
        std::vector<qxtest::TraceRecord> t = sim.trace();
        ASSERT_GE(t.size(), 2u);
        auto tail = [](const qxtest::TraceRecord& rec) { return rec.line.substr(rec.line.find(' ', rec.line.find(' ') + 1) + 1); };
        EXPECT_EQ(tail(t[t.size() - 2]), c.command_line);
        EXPECT_EQ(tail(t.back()), c.cut_line);
        const std::string shown = sim.show();
        EXPECT_EQ(shown.rfind("NO POWER since the power cut at access ", 0), 0u) << shown;
        EXPECT_TRUE(qxtest::contains(shown, c.counted)) << shown;
        Result decoded = sim.cli({"trace", "show", "--decode"});
        EXPECT_TRUE(qxtest::stdout_contains(decoded, c.decoded));
        EXPECT_TRUE(qxtest::stdout_contains(decoded, std::string("power    power cut in the ")));
        EXPECT_TRUE(qxtest::status_is(sim.run({"update", app}), 1)) << "no driver until the power comes back";
        ASSERT_TRUE(qxtest::status_is(sim.cli({"power-cycle"}), 0));
        EXPECT_TRUE(qxtest::status_is(sim.run({"update", app}), 0));
    }
}

TEST(CameraFlash, power_cut_inside_the_offset_record_boots_factory_and_a_rerun_recovers)
{
    REQUIRE_TOOL("update");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::vector<uint8_t> image = small_image(1000, 2);
    const std::string app = app_file(sim, image);
    // Blocks of 256 bytes: four page programs, the record is the fifth.
    sim.fault("asmi.torn-program", {"5", "6"});
    Result r = sim.run({"update", app});
    EXPECT_EQ(r.signal, SIGKILL);
    Result boot = sim.cli({"power-cycle"});
    EXPECT_TRUE(qxtest::status_is(boot, 0));
    EXPECT_TRUE(qxtest::stdout_contains(boot, "boot 2 (power-on): factory image at 0x0000000, 3145800 bytes"));
    EXPECT_TRUE(qxtest::stdout_contains(boot, "offset record 0x02000000 0xFFFF0040 0xFFFFFFFF (not valid)"));
    {
        auto lock = sim.model().lock();
        const qxsim::BootState& b = sim.model().asmi().boot().state();
        EXPECT_EQ(b.image, qxsim::BOOT_FACTORY);
        EXPECT_EQ(b.record[0], 0x02000000u);
        EXPECT_EQ(b.record[1], 0xFFFF0040u) << "two bytes of the second word made it";
        EXPECT_EQ(b.content, qxsim::BOOT_CONTENT_INTACT);
        EXPECT_EQ(sim.model().asmi().flash().status_reg(), 0x68) << "the tool died unlocked";
    }
    r = sim.run({"update", app});
    ASSERT_TRUE(qxtest::status_is(r, 0)) << r.out;
    auto lock = sim.model().lock();
    const qxsim::BootState& b = sim.model().asmi().boot().state();
    EXPECT_EQ(b.image, qxsim::BOOT_APPLICATION);
    EXPECT_EQ(b.length, 1000u);
    EXPECT_EQ(b.checksum, qxsim::crc32(image.data(), image.size()));
}

TEST(CameraFlash, corrupted_read_back_fails_verification_and_leaves_no_record)
{
    REQUIRE_TOOL("update");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    std::vector<uint8_t> image = small_image(512, 3);
    sim.fault("asmi.corrupt-read", {"0x2000104", "0x100"});
    Result r = sim.run({"update", app_file(sim, image)});
    uint32_t word = image[0x104] | image[0x105] << 8 | image[0x106] << 16 | uint32_t(image[0x107]) << 24;
    char expect[80];
    std::snprintf(expect, sizeof expect, "Verification failure [0x%x != 0x%x]", word ^ 0x100, word);
    EXPECT_TRUE(qxtest::stdout_contains(r, expect));
    EXPECT_TRUE(qxtest::stdout_contains(r, "Unable to verify the application image!"));
    EXPECT_TRUE(qxtest::status_is(sim.cli({"power-cycle"}), 0));
    auto lock = sim.model().lock();
    EXPECT_EQ(sim.model().asmi().boot().state().image, qxsim::BOOT_FACTORY);
    EXPECT_EQ(sim.model().asmi().fault_state("corrupt-read")->fired, 1u);
    EXPECT_EQ(sim.model().asmi().state().wr.level + sim.model().asmi().state().rd.level, 0u)
        << "ASMI_CLEAR after the failed pass";
}

TEST(CameraFlash, datasheet_timing_makes_the_erase_wait_poll_and_sleep)
{
    REQUIRE_TOOL("update");
    SimCamera sim(SimOptions{"LUX13HS-C", false});
    const std::string app = app_file(sim, small_image(256, 4));
    // An erase far longer than a status wait of 100 polls, far shorter than
    // the tool's 50 cycles of 100 ms.
    EXPECT_TRUE(qxtest::status_is(sim.cli({"flash", "timing", "datasheet", "300000", "400", "400"}), 0));
    Result r = sim.run({"update", "-v", app});
    ASSERT_TRUE(qxtest::status_is(r, 0));
    EXPECT_TRUE(qxtest::stdout_contains(r, "STATUS = 0x00002101")) << "busy seen by the direct read";
    EXPECT_TRUE(qxtest::stdout_contains(r, "Verification complete"));
    auto lock = sim.model().lock();
    EXPECT_EQ(sim.model().asmi().boot().state().image, qxsim::BOOT_APPLICATION);
}
