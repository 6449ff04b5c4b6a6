// The simulated channel mask and clamp-output registers on their own.
#include "qxsim/model/fpga/channel_regs.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

class ChannelRegsTest : public ::testing::Test {
protected:
    ChannelRegsTest() : regs(state) { regs.reset(); }

    std::string shown() const
    {
        std::ostringstream out;
        regs.describe(out);
        return out.str();
    }

    qxsim::ChannelState state{};
    qxsim::ChannelRegs regs;
};

TEST_F(ChannelRegsTest, decodes_the_four_mask_registers_and_the_clamp_register_only)
{
    for (uint32_t reg : {0x8210u, 0x8214u, 0x8218u, 0x821Cu, 0x8170u})
        EXPECT_TRUE(regs.decodes(reg)) << std::hex << reg;
    for (uint32_t reg : {0x820Cu, 0x8211u, 0x8220u, 0x8174u, 0x816Cu, 0x0u})
        EXPECT_FALSE(regs.decodes(reg)) << std::hex << reg;
}

TEST_F(ChannelRegsTest, registers_read_back_what_was_written_each_on_its_own)
{
    regs.write(0x8210, 0x20);
    regs.write(0x8214, 0x80000);
    regs.write(0x8218, 0x12345);
    regs.write(0x821C, 0xFFFFF);
    regs.write(0x8170, 0x1115);
    EXPECT_EQ(regs.read(0x8210), 0x20u);
    EXPECT_EQ(regs.read(0x8214), 0x80000u);
    EXPECT_EQ(regs.read(0x8218), 0x12345u);
    EXPECT_EQ(regs.read(0x821C), 0xFFFFFu);
    EXPECT_EQ(regs.read(0x8170), 0x1115u);
    EXPECT_EQ(state.mask[0], 0x20u);
    EXPECT_EQ(state.mask[3], 0xFFFFFu);
    EXPECT_EQ(state.clpout, 0x1115u);
}

TEST_F(ChannelRegsTest, reset_clears_every_register)
{
    regs.write(0x8218, 0xFFFFF);
    regs.write(0x8170, 0x71F);
    regs.reset();
    EXPECT_EQ(regs.read(0x8218), 0u);
    EXPECT_EQ(regs.read(0x8170), 0u);
    EXPECT_EQ(state.written, 0u);
}

TEST_F(ChannelRegsTest, show_draws_each_group_and_decodes_the_clamp_fields)
{
    regs.write(0x8210, 0x20);
    regs.write(0x8214, 0x80001);
    regs.write(0x821C, 0xFFFFF);
    regs.write(0x8170, 0x171F);
    EXPECT_EQ(shown(),
              "channel mask and clamp output (0x8210..0x821c, 0x8170)\n"
              "  BL 0x8210 = 0x00020  channels  0-19 .....#..............   1 set\n"
              "  BR 0x8214 = 0x80001  channels 20-39 #..................#   2 set\n"
              "  TL 0x8218 = 0x00000  channels 40-59 ....................   0 set  (not written)\n"
              "  TR 0x821c = 0xfffff  channels 60-79 ####################  20 set\n"
              "  clamp 0x8170 = 0x171f  enable on, offset 31, width 7\n");
}

TEST_F(ChannelRegsTest, show_calls_out_bits_outside_the_used_fields)
{
    regs.write(0x8218, 0xFFF00001);
    regs.write(0x8170, 0x80000E14);
    const std::string text = shown();
    EXPECT_NE(text.find("  TL 0x8218 = 0xfff00001  channels 40-59 #...................   1 set"
                        "  bits 20-31: 0xfff\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  clamp 0x8170 = 0x80000e14  enable off, offset 20, width 6"
                        "  reserved bits: 0x80000800\n"),
              std::string::npos)
        << text;
}

}  // namespace
