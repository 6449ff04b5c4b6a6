// The DAC chip model alone: the commands the tools never send, reads,
// the no-acknowledge fault and the show section. The tool tests cover the
// rest through the bus.
#include "qxsim/model/devices/dac_chip.h"

#include <sstream>

#include <gtest/gtest.h>

namespace {

class DacChipModel : public ::testing::Test {
protected:
    void SetUp() override { chip.reset(); }
    bool send(uint8_t reg, uint16_t code) { return chip.write(0x10, reg, code << 6); }

    qxsim::DacChipState s{};
    qxsim::DacChip chip{qxsim::DAC_U12_WIRING, s};
};

TEST_F(DacChipModel, load_and_update_all_and_single_output_power_down)
{
    ASSERT_TRUE(send(0x01, 7));
    ASSERT_TRUE(send(0x23, 9));  // load output 3, update all
    EXPECT_EQ(s.outputs[1].code, 7);
    EXPECT_EQ(s.outputs[3].code, 9);
    ASSERT_TRUE(send(0x44, 0));
    EXPECT_EQ(s.outputs[4].powered, 0);
    EXPECT_EQ(s.outputs[5].powered, 1);
}

TEST_F(DacChipModel, reference_follows_selection_power_down_and_updates)
{
    EXPECT_EQ(s.ref_internal, 0);
    ASSERT_TRUE(send(0x60, 0));
    ASSERT_TRUE(send(0x5F, 0));
    EXPECT_EQ(s.ref_powered, 0);
    ASSERT_TRUE(send(0x1F, 0));  // an update brings the selected reference back
    EXPECT_EQ(s.ref_powered, 1);
    ASSERT_TRUE(send(0x70, 0));
    EXPECT_EQ(s.ref_internal, 0);
    EXPECT_EQ(s.ref_powered, 0);
}

TEST_F(DacChipModel, reserved_commands_and_indexes_are_acknowledged_and_ignored)
{
    ASSERT_TRUE(send(0x30, 300));
    EXPECT_TRUE(send(0x80, 5));
    EXPECT_TRUE(send(0x38, 5));
    EXPECT_TRUE(send(0xF0, 5));  // no operation
    EXPECT_EQ(s.ignored, 2u);
    EXPECT_EQ(s.outputs[0].code, 300);
    uint32_t data = 0;
    unsigned width = 0;
    EXPECT_FALSE(chip.read(0x10, 0, &data, &width));
}

TEST_F(DacChipModel, nak_fault_takes_a_count_from_one_and_clears)
{
    std::string error;
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"0"}, {"x"}, {"1", "2"}})
        EXPECT_FALSE(chip.set_fault("nak", bad, &error)) << bad[0];
    EXPECT_FALSE(chip.set_fault("busy", {}, &error));
    ASSERT_TRUE(chip.set_fault("nak", {"2"}, &error));
    EXPECT_TRUE(send(0x30, 1));
    EXPECT_FALSE(send(0x31, 2));
    EXPECT_EQ(s.outputs[1].code, 0);
    chip.clear_faults();
    EXPECT_TRUE(send(0x31, 2));
    EXPECT_EQ(s.outputs[1].code, 2);
}

TEST_F(DacChipModel, show_lists_outputs_by_net_with_pending_inputs)
{
    ASSERT_TRUE(send(0x60, 0));
    ASSERT_TRUE(send(0x30, 0x12C));
    ASSERT_TRUE(send(0x02, 0x89));
    ASSERT_TRUE(send(0x37, 0x5));
    ASSERT_TRUE(send(0x47, 0));
    std::ostringstream out;
    chip.describe(out);
    const std::string text = out.str();
    EXPECT_EQ(text.rfind("  0x10 DAC U12 (also global 0x73): internal reference on, 5 write(s)\n", 0), 0u) << text;
    EXPECT_NE(text.find("    VREF   0x12c  powered\n"), std::string::npos) << text;
    // Powered down since power-on: loading an input does not power it up.
    EXPECT_NE(text.find("    VLN    0x000  powered down  (input 0x089 pending)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    VCAS   0x005  powered down\n"), std::string::npos) << text;
}

}  // namespace
