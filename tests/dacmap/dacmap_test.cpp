#include "dacmap/dacmap.h"

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

TEST(DacDataWord, LeftAlignsTenBitValue)
{
    EXPECT_EQ(dac_data_word(0), 0x0000);
    EXPECT_EQ(dac_data_word(0x012C), 0x4B00);
    EXPECT_EQ(dac_data_word(0x3FF), 0xFFC0);
}

TEST(DacDataWord, BitsAboveTenFallOffTheTop)
{
    EXPECT_EQ(dac_data_word(0x400), 0x0000);
    EXPECT_EQ(dac_data_word(0xFFFF), 0xFFC0);
    EXPECT_EQ(dac_data_word(0x401), 0x0040);
}

TEST(DacFindReg, FindsEachOutputByItsOwnName)
{
    for (const dac_reg& reg : dac_reg_table) {
        const dac_reg* found = dac_find_reg(reg.name);
        ASSERT_NE(found, nullptr) << reg.name;
        EXPECT_EQ(found, &reg) << reg.name;
    }
}

TEST(DacFindReg, PrefixMatchesOnlyItself)
{
    const dac_reg* vln = dac_find_reg("VLN");
    ASSERT_NE(vln, nullptr);
    EXPECT_STREQ(vln->name, "VLN");
    EXPECT_EQ(vln->dev_addr, 0x10);
    EXPECT_EQ(vln->reg_addr, 0x32);

    const dac_reg* vlnc = dac_find_reg("VLNC");
    ASSERT_NE(vlnc, nullptr);
    EXPECT_EQ(vlnc->reg_addr, 0x31);
}

TEST(DacFindReg, RejectsEmptyLowerCaseAndUnknownNames)
{
    EXPECT_EQ(dac_find_reg(""), nullptr);
    EXPECT_EQ(dac_find_reg("vref"), nullptr);
    EXPECT_EQ(dac_find_reg("FOO"), nullptr);
    EXPECT_EQ(dac_find_reg("VREFX"), nullptr);
    EXPECT_EQ(dac_find_reg("VRE"), nullptr);
}

TEST(DacRegTable, SixteenUniqueNamesEightPerChipInOutputOrder)
{
    static const char* const names[DAC_REG_COUNT] = {
        "VREF", "VLNC", "VLN", "VADH", "VOFF", "VAD4", "VLNA", "VCAS",
        "VMUX1", "VTX2L", "VABL", "VPIX", "VRSTH", "VTXH", "VTXL", "VMUX2",
    };
    std::set<std::string> seen;
    for (size_t i = 0; i < DAC_REG_COUNT; i++) {
        const dac_reg& reg = dac_reg_table[i];
        EXPECT_STREQ(reg.name, names[i]);
        EXPECT_EQ(reg.dev_addr, i < 8 ? 0x10 : 0x11) << reg.name;
        EXPECT_EQ(reg.reg_addr, 0x30 | (i % 8)) << reg.name;
        const size_t len = strlen(reg.name);
        EXPECT_GE(len, 3u);
        EXPECT_LE(len, 5u);
        seen.insert(reg.name);
    }
    EXPECT_EQ(seen.size(), DAC_REG_COUNT);
}

TEST(DacPowerupTable, ReferenceFirstThenInputsThenGlobalUpdate)
{
    struct row { uint8_t dev; uint8_t reg; uint16_t value; uint16_t data; };
    static const row expected[DAC_POWERUP_COUNT] = {
        {0x10, 0x60, 0x0000, 0x0000}, {0x10, 0x00, 0x012C, 0x4B00}, {0x10, 0x01, 0x00E1, 0x3840},
        {0x10, 0x02, 0x0096, 0x2580}, {0x10, 0x03, 0x00E1, 0x3840}, {0x10, 0x04, 0x007D, 0x1F40},
        {0x10, 0x05, 0x0038, 0x0E00}, {0x10, 0x06, 0x00ED, 0x3B40}, {0x10, 0x07, 0x015E, 0x5780},
        {0x11, 0x60, 0x0000, 0x0000}, {0x11, 0x00, 0x00E1, 0x3840}, {0x11, 0x01, 0x00AF, 0x2BC0},
        {0x11, 0x02, 0x004B, 0x12C0}, {0x11, 0x03, 0x01C2, 0x7080}, {0x11, 0x04, 0x0338, 0xCE00},
        {0x11, 0x05, 0x0338, 0xCE00}, {0x11, 0x06, 0x0000, 0x0000}, {0x11, 0x07, 0x00E1, 0x3840},
        {0x73, 0x1F, 0x0000, 0x0000},
    };
    ASSERT_EQ(sizeof dac_powerup_table / sizeof dac_powerup_table[0], 19u);
    for (size_t i = 0; i < DAC_POWERUP_COUNT; i++) {
        SCOPED_TRACE("row " + std::to_string(i + 1));
        EXPECT_EQ(dac_powerup_table[i].dev_addr, expected[i].dev);
        EXPECT_EQ(dac_powerup_table[i].reg_addr, expected[i].reg);
        EXPECT_EQ(dac_powerup_table[i].value, expected[i].value);
        EXPECT_EQ(dac_data_word(dac_powerup_table[i].value), expected[i].data);
    }
}

TEST(DacShutdown, GlobalPowerDownWithZeroData)
{
    EXPECT_EQ(dac_shutdown_cmd.dev_addr, 0x73);
    EXPECT_EQ(dac_shutdown_cmd.reg_addr, 0x5F);
    EXPECT_EQ(dac_shutdown_cmd.value, 0x0000);
}

TEST(DacListing, ListsEveryOutputInTableOrderIn307Bytes)
{
    EXPECT_EQ(strlen(dac_listing_text), 307u);
    const std::string listing = dac_listing_text;
    EXPECT_EQ(listing.rfind("DAC Registers:\nU12 chip:\n", 0), 0u);
    size_t pos = 0;
    for (size_t i = 0; i < DAC_REG_COUNT; i++) {
        if (i == 8) {
            pos = listing.find("U14 chip:\n", pos);
            ASSERT_NE(pos, std::string::npos);
        }
        std::string name = dac_reg_table[i].name;
        const std::string line = "  " + name + std::string(6 - name.size(), ' ') + "[0x";
        pos = listing.find(line, pos);
        ASSERT_NE(pos, std::string::npos) << name;
    }
}

TEST(DacListing, ShowsItsOwnValuesForVlnVoffVabl)
{
    const std::string listing = dac_listing_text;
    EXPECT_NE(listing.find("  VLN   [0x0089]\n"), std::string::npos);
    EXPECT_NE(listing.find("  VOFF  [0x00AF]\n"), std::string::npos);
    EXPECT_NE(listing.find("  VABL  [0x0032]\n"), std::string::npos);
    EXPECT_NE(listing.find("  VMUX2 [0x00E1]\n"), std::string::npos);
}
