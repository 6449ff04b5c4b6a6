// The update steps that need no hardware: how many sectors an image takes,
// how a block travels through the FIFOs, and which image each sensor gets.

#include <cstring>

#include <gtest/gtest.h>

#include "update/asmi_regs.h"
#include "update/image.h"
#include "update/sensor.h"

namespace {

TEST(SectorCount, RoundsUpToWholeSectors)
{
    EXPECT_EQ(image_sector_count(0), 0u);
    EXPECT_EQ(image_sector_count(1), 1u);
    EXPECT_EQ(image_sector_count(65536), 1u);
    EXPECT_EQ(image_sector_count(65537), 2u);
    EXPECT_EQ(image_sector_count(APP_REGION_SIZE), 1535u);
    EXPECT_EQ(image_sector_count(APP_REGION_SIZE - 1), 1535u);
}

TEST(SectorCount, LargestImageStopsShortOfTheOffsetSector)
{
    EXPECT_EQ(APP_IMAGE_BASE + image_sector_count(APP_REGION_SIZE) * SECTOR_SIZE, OFFSET_SECTOR);
}

TEST(BlockWords, ShortBlocksRoundUpToWholeWords)
{
    EXPECT_EQ(image_block_words(256), 64u);
    EXPECT_EQ(image_block_words(255), 64u);
    EXPECT_EQ(image_block_words(253), 64u);
    EXPECT_EQ(image_block_words(252), 63u);
    EXPECT_EQ(image_block_words(1), 1u);
    EXPECT_EQ(image_block_words(0), 0u);
}

TEST(BlockWords, FirstFileByteGoesInTheLowBitsOfItsWord)
{
    const uint8_t block[8] = {0x01, 0x02, 0x03, 0x04, 0xA5, 0x5A, 0xFF, 0x00};
    EXPECT_EQ(image_block_word(block, 0), 0x04030201u);
    EXPECT_EQ(image_block_word(block, 1), 0x00FF5AA5u);
}

TEST(WordMask, CoversOnlyTheFileBytesOfTheLastWord)
{
    EXPECT_EQ(image_word_mask(256, 0), 0xFFFFFFFFu);
    EXPECT_EQ(image_word_mask(256, 63), 0xFFFFFFFFu);
    EXPECT_EQ(image_word_mask(253, 62), 0xFFFFFFFFu);
    EXPECT_EQ(image_word_mask(253, 63), 0x000000FFu);
    EXPECT_EQ(image_word_mask(254, 63), 0x0000FFFFu);
    EXPECT_EQ(image_word_mask(255, 63), 0x00FFFFFFu);
    EXPECT_EQ(image_word_mask(3, 1), 0u);
}

struct sensor_case {
    const char id_chars[5];  // registers 4..7
    const char* image;
};

const sensor_case sensor_cases[] = {
    {"CH3X", "/usr/local/bin/orvane/firmware/qx_lux13hs.rbf"},
    {"MH3X", "/usr/local/bin/orvane/firmware/qx_lux13hs.rbf"},
    {"CH9X", "/usr/local/bin/orvane/firmware/qx_lux19hs.rbf"},
    {"MH9X", "/usr/local/bin/orvane/firmware/qx_lux19hs.rbf"},
    {"C5LA", "/usr/local/bin/orvane/firmware/qx_lince5m.rbf"},
    {"M5LA", "/usr/local/bin/orvane/firmware/qx_lince5m.rbf"},
};

uint32_t sensor_id(const char* chars)
{
    return uint32_t(uint8_t(chars[0])) | uint32_t(uint8_t(chars[1])) << 8 |
           uint32_t(uint8_t(chars[2])) << 16 | uint32_t(uint8_t(chars[3])) << 24;
}

TEST(SensorTable, BothCodesOfEachSensorSelectItsImage)
{
    for (const sensor_case& c : sensor_cases) {
        const char* path = sensor_image_path(sensor_id(c.id_chars));
        ASSERT_NE(path, nullptr) << c.id_chars;
        EXPECT_STREQ(path, c.image) << c.id_chars;
    }
    EXPECT_EQ(sensor_id("CH9X"), 0x58394843u);
}

TEST(SensorTable, UnknownAndReversedCodesSelectNothing)
{
    EXPECT_EQ(sensor_image_path(sensor_id("XH9C")), nullptr);
    EXPECT_EQ(sensor_image_path(sensor_id("ch9x")), nullptr);
    EXPECT_EQ(sensor_image_path(0), nullptr);
    EXPECT_EQ(sensor_image_path(0xFFFFFFFF), nullptr);
}

}  // namespace
