#include "dacmap/dacmap.h"

#include <cstring>

#include <gtest/gtest.h>

TEST(DacMap, data_word_left_aligns_ten_bits_and_drops_the_rest)
{
    EXPECT_EQ(dac_data_word(0), 0x0000);
    EXPECT_EQ(dac_data_word(0x012C), 0x4B00);
    EXPECT_EQ(dac_data_word(0x3FF), 0xFFC0);
    EXPECT_EQ(dac_data_word(0x400), 0x0000);
    EXPECT_EQ(dac_data_word(0xFFFF), 0xFFC0);
}

TEST(DacMap, lookup_is_exact_and_case_sensitive)
{
    for (const dac_reg& reg : dac_reg_table)
        EXPECT_EQ(dac_find_reg(reg.name), &reg) << reg.name;
    const dac_reg* vln = dac_find_reg("VLN");
    ASSERT_NE(vln, nullptr);
    EXPECT_EQ(vln->reg_addr, 0x32);
    EXPECT_EQ(dac_find_reg("VLNC")->reg_addr, 0x31);
    for (const char* name : {"", "vref", "FOO", "VREFX", "VRE"})
        EXPECT_EQ(dac_find_reg(name), nullptr) << name;
}

TEST(DacMap, output_table_holds_eight_outputs_per_chip_in_index_order)
{
    for (size_t i = 0; i < DAC_REG_COUNT; i++) {
        EXPECT_EQ(dac_reg_table[i].dev_addr, i < 8 ? 0x10 : 0x11) << i;
        EXPECT_EQ(dac_reg_table[i].reg_addr, 0x30 | (i % 8)) << i;
    }
    EXPECT_STREQ(dac_reg_table[0].name, "VREF");
    EXPECT_STREQ(dac_reg_table[15].name, "VMUX2");
}

TEST(DacMap, powerup_table_selects_references_first_and_updates_last)
{
    EXPECT_EQ(sizeof dac_powerup_table / sizeof dac_powerup_table[0], 19u);
    EXPECT_EQ(dac_powerup_table[0].dev_addr, 0x10);
    EXPECT_EQ(dac_powerup_table[0].reg_addr, 0x60);
    EXPECT_EQ(dac_powerup_table[9].dev_addr, 0x11);
    EXPECT_EQ(dac_powerup_table[9].reg_addr, 0x60);
    EXPECT_EQ(dac_powerup_table[18].dev_addr, 0x73);
    EXPECT_EQ(dac_powerup_table[18].reg_addr, 0x1F);
    EXPECT_EQ(dac_shutdown_cmd.dev_addr, 0x73);
    EXPECT_EQ(dac_shutdown_cmd.reg_addr, 0x5F);
    EXPECT_EQ(dac_shutdown_cmd.value, 0);
    EXPECT_EQ(strlen(dac_listing_text), 307u);
}
