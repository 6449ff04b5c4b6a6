// The update steps that need no hardware: how many sectors an image takes
// and how a block travels through the FIFOs.

#include <gtest/gtest.h>

#include "update/asmi_regs.h"
#include "update/image.h"

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

}  // namespace
