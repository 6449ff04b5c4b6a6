// Configuration from flash: which image the FPGA loads, and the made-up
// images it is given.
#include "flash_rig.h"

#include <fstream>
#include <iterator>

using namespace flashtest;

namespace {

uint32_t crc_of(const std::vector<uint8_t>& v)
{
    return crc32(v.data(), v.size());
}

// Program an image into the application region as update does, 256 bytes a block.
void program_app(FlashRig& rig, const std::vector<uint8_t>& image)
{
    for (uint32_t a = APP_REGION_BASE; a < APP_REGION_BASE + image.size(); a += 0x10000)
        rig.erase(a);
    for (size_t off = 0; off < image.size(); off += 256) {
        size_t n = std::min<size_t>(256, image.size() - off);
        rig.write_block(APP_REGION_BASE + static_cast<uint32_t>(off),
                        std::vector<uint8_t>(image.begin() + off, image.begin() + off + n));
        ASSERT_EQ(rig.status(), 0u) << "block at " << off;
    }
}

}  // namespace

TEST(Crc32, matches_the_standard_check_value)
{
    const char* check = "123456789";
    EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
    EXPECT_EQ(crc32(nullptr, 0), 0u);
}

TEST(MadeUpImages, are_deterministic_distinct_and_a_few_mib)
{
    std::vector<uint32_t> crcs;
    for (const MadeUpImage& img : release_images) {
        std::vector<uint8_t> a = make_image(img), b = make_image(img);
        EXPECT_EQ(a, b) << img.name;
        EXPECT_GE(a.size(), 2u << 20);
        EXPECT_LE(a.size(), 6u << 20);
        EXPECT_NE(a.back(), 0xFF);
        crcs.push_back(crc_of(a));
    }
    crcs.push_back(crc_of(make_image(factory_image)));
    for (size_t i = 0; i < crcs.size(); ++i)
        for (size_t j = i + 1; j < crcs.size(); ++j)
            EXPECT_NE(crcs[i], crcs[j]);
}

TEST(MadeUpImages, release_files_are_written_to_the_firmware_folder)
{
    FlashRig rig;
    std::string err;
    ASSERT_TRUE(write_release_images(rig.dir, &err)) << err;
    for (const MadeUpImage& img : release_images) {
        std::ifstream f(rig.dir + "/" + img.file, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes, make_image(img)) << img.file;
    }
    EXPECT_FALSE(write_release_images(rig.dir + "/missing", &err));
    EXPECT_NE(err.find("missing/qx_lux13hs.rbf"), std::string::npos) << err;
}

TEST(FpgaBoot, fresh_camera_boots_the_intact_factory_image)
{
    FlashRig rig;
    const BootState& b = rig.boot.state();
    std::vector<uint8_t> factory = make_image(factory_image);
    EXPECT_EQ(b.boots, 1u);
    EXPECT_EQ(b.image, BOOT_FACTORY);
    EXPECT_EQ(b.cause, BOOT_BY_POWER_ON);
    EXPECT_EQ(b.base, 0u);
    EXPECT_EQ(b.length, factory.size());
    EXPECT_EQ(b.checksum, crc_of(factory));
    EXPECT_EQ(b.content, BOOT_CONTENT_INTACT);
    EXPECT_STREQ(b.name, "qx_factory");
    EXPECT_FALSE(b.record_valid);
    EXPECT_EQ(rig.flash.status_reg(), 0x5C) << "shipped locked";
    EXPECT_EQ(rig.store.programmed_end(APP_REGION_BASE, FlashStore::kSize), APP_REGION_BASE)
        << "application region and offset sector erased";
}

TEST(FpgaBoot, valid_offset_record_boots_the_application_image)
{
    FlashRig rig;
    rig.unlock();
    std::vector<uint8_t> image = make_image(release_images[1]);
    program_app(rig, image);
    rig.erase(0x7FF0000);
    rig.write_record(0x02000000, 0x00000040, 0xFDFFFFFF);
    ASSERT_EQ(rig.status(), 0u);
    rig.asmi.write(ASMI_RECONFIG, ASMI_RECONFIG_START);

    const BootState& b = rig.boot.state();
    EXPECT_EQ(b.boots, 2u);
    EXPECT_EQ(b.image, BOOT_APPLICATION);
    EXPECT_EQ(b.cause, BOOT_BY_RECONFIG);
    EXPECT_EQ(b.base, APP_REGION_BASE);
    EXPECT_EQ(b.length, image.size());
    EXPECT_EQ(b.checksum, crc_of(image));
    EXPECT_EQ(b.content, BOOT_CONTENT_INTACT);
    EXPECT_STREQ(b.name, "qx_lux19hs");
    EXPECT_TRUE(b.record_valid);
    EXPECT_EQ(rig.bytes(0x7FFFFFC, 4), std::vector<uint8_t>(4, 0xFF)) << "bytes after the record stay erased";
    EXPECT_EQ(rig.asmi_state.wr.level, 0u);

    // Reconfiguration reloads the FPGA's logic: the controller starts over.
    EXPECT_EQ(rig.status(), 0u);
    EXPECT_EQ(rig.asmi_state.reconfigs, 1u);
    rig.asmi.power_on();
    EXPECT_EQ(rig.boot.state().boots, 3u);
    EXPECT_EQ(rig.boot.state().cause, BOOT_BY_POWER_ON);
    EXPECT_EQ(rig.boot.state().image, BOOT_APPLICATION) << "flash contents survive the power cycle";
    EXPECT_FALSE(rig.flash.four_byte());
}

TEST(FpgaBoot, other_reconfig_values_do_not_reconfigure)
{
    FlashRig rig;
    rig.asmi.write(ASMI_RECONFIG, 0x01);
    rig.asmi.write(ASMI_RECONFIG, 0x20);
    EXPECT_EQ(rig.boot.state().boots, 1u);
}

TEST(FpgaBoot, short_image_checksum_covers_up_to_the_last_programmed_byte)
{
    FlashRig rig;
    rig.unlock();
    std::vector<uint8_t> image = pattern(1000, 9);
    image.resize(1003, 0xFF);  // trailing erased-looking bytes are not counted
    program_app(rig, image);
    rig.erase(0x7FF0000);
    rig.write_record(0x02000000, 0x40, 0xFDFFFFFF);
    rig.asmi.write(ASMI_RECONFIG, 0x10);
    const BootState& b = rig.boot.state();
    EXPECT_EQ(b.image, BOOT_APPLICATION);
    EXPECT_EQ(b.length, 1000u);
    EXPECT_EQ(b.checksum, crc32(image.data(), 1000));
    EXPECT_EQ(b.content, BOOT_CONTENT_UNRECOGNISED);
}

TEST(FpgaBoot, damaged_or_empty_application_is_reported_not_hidden)
{
    FlashRig rig;
    rig.unlock();
    std::vector<uint8_t> image = make_image(release_images[2]);
    image.resize(image.size() / 2);  // half programmed
    program_app(rig, image);
    rig.erase(0x7FF0000);
    rig.write_record(0x02000000, 0x40, 0xFDFFFFFF);
    rig.asmi.write(ASMI_RECONFIG, 0x10);
    EXPECT_EQ(rig.boot.state().image, BOOT_APPLICATION);
    EXPECT_EQ(rig.boot.state().content, BOOT_CONTENT_DAMAGED);
    EXPECT_STREQ(rig.boot.state().name, "qx_lince5m");

    for (uint32_t a = APP_REGION_BASE; a < APP_REGION_BASE + image.size(); a += 0x10000)
        rig.erase(a);
    rig.asmi.write(ASMI_RECONFIG, 0x10);
    EXPECT_EQ(rig.boot.state().image, BOOT_APPLICATION);
    EXPECT_EQ(rig.boot.state().content, BOOT_CONTENT_EMPTY);
    EXPECT_EQ(rig.boot.state().length, 0u);
}

TEST(FpgaBoot, torn_or_wrong_offset_record_boots_the_factory_image)
{
    const uint32_t records[][3] = {
        {0x02000000, 0x00000040, 0xFFFFFFFF},  // third word never programmed
        {0x02000000, 0xFFFFFFFF, 0xFFFFFFFF},  // torn after the first word
        {0x02000000, 0x00000040, 0xFDFFFFFE},  // complement wrong
        {0x02000000, 0x00000041, 0xFDFFFFFF},  // constant wrong
        {0x01000000, 0x00000040, 0xFEFFFFFF},  // points into the factory area
        {0x07FF0000, 0x00000040, 0xF800FFFF},  // points at the offset sector
    };
    for (const auto& r : records) {
        FlashRig rig;
        rig.unlock();
        program_app(rig, make_image(release_images[0]));
        rig.erase(0x7FF0000);
        rig.write_record(r[0], r[1], r[2]);
        rig.asmi.write(ASMI_RECONFIG, 0x10);
        EXPECT_EQ(rig.boot.state().image, BOOT_FACTORY) << std::hex << r[0] << " " << r[1] << " " << r[2];
        EXPECT_EQ(rig.boot.state().record[0], r[0]);
        EXPECT_EQ(rig.boot.state().content, BOOT_CONTENT_INTACT);
    }
}

TEST(FpgaBoot, record_torn_by_a_power_cut_mid_page_boots_the_factory_image)
{
    FlashRig rig;
    rig.unlock();
    program_app(rig, make_image(release_images[0]));
    rig.erase(0x7FF0000);
    std::string err;
    ASSERT_TRUE(rig.asmi.set_fault("torn-program", {"1", "9"}, &err)) << err;
    rig.write_record(0x02000000, 0x40, 0xFDFFFFFF);
    EXPECT_EQ(rig.power_cuts, 1);
    rig.asmi.power_on();
    EXPECT_EQ(rig.boot.state().image, BOOT_FACTORY);
    EXPECT_EQ(rig.boot.state().record[0], 0x02000000u);
    EXPECT_EQ(rig.boot.state().record[1], 0x00000040u);
    EXPECT_EQ(rig.boot.state().record[2], 0xFFFFFFFFu) << "the complement's bytes were never programmed";
}
