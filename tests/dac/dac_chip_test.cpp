// The DAC chip model on its own: command decoding, power and reference
// state, the no-acknowledge fault.
#include "qxsim/model/dac_chip.h"

#include <sstream>

#include <gtest/gtest.h>

namespace {

using qxsim::DacChip;
using qxsim::DacChipState;

class DacChipTest : public ::testing::Test {
protected:
    void SetUp() override { chip.reset(); }

    bool send(uint8_t reg, uint16_t code, uint8_t addr = 0x10) { return chip.write(addr, reg, code << 6); }

    DacChipState state{};
    DacChip chip{qxsim::DAC_U12_WIRING, state};
};

TEST_F(DacChipTest, PowersOnAtZeroScaleWithExternalReference)
{
    for (const auto& out : state.outputs) {
        EXPECT_EQ(out.code, 0);
        EXPECT_EQ(out.input, 0);
        EXPECT_EQ(out.powered, 1);
    }
    EXPECT_EQ(state.ref_internal, 0);
}

TEST_F(DacChipTest, AnswersOwnAndGlobalAddressOnly)
{
    EXPECT_TRUE(chip.answers(0x10));
    EXPECT_TRUE(chip.answers(0x73));
    EXPECT_FALSE(chip.answers(0x11));
    EXPECT_FALSE(chip.answers(0x50));
}

TEST_F(DacChipTest, LoadInputLeavesOutputUntilUpdate)
{
    ASSERT_TRUE(send(0x02, 0x96));
    EXPECT_EQ(state.outputs[2].input, 0x96);
    EXPECT_EQ(state.outputs[2].code, 0);

    ASSERT_TRUE(send(0x12, 0));
    EXPECT_EQ(state.outputs[2].code, 0x96);
    EXPECT_EQ(state.outputs[1].code, 0);
}

TEST_F(DacChipTest, UpdateAllMovesEveryOutputAndPowersItUp)
{
    ASSERT_TRUE(send(0x5F, 0));
    for (unsigned n = 0; n < 8; n++)
        ASSERT_TRUE(send(static_cast<uint8_t>(n), static_cast<uint16_t>(100 + n)));
    ASSERT_TRUE(send(0x1F, 0, 0x73));
    for (unsigned n = 0; n < 8; n++) {
        EXPECT_EQ(state.outputs[n].code, 100 + n);
        EXPECT_EQ(state.outputs[n].powered, 1);
    }
}

TEST_F(DacChipTest, WriteAndUpdateChangesOneOutputOnly)
{
    ASSERT_TRUE(send(0x33, 0x1C2));
    EXPECT_EQ(state.outputs[3].code, 0x1C2);
    EXPECT_EQ(state.outputs[3].input, 0x1C2);
    for (unsigned n = 0; n < 8; n++) {
        if (n != 3) {
            EXPECT_EQ(state.outputs[n].code, 0) << n;
        }
    }
}

TEST_F(DacChipTest, CodeIsTheTopTenBitsOfTheDataWord)
{
    ASSERT_TRUE(chip.write(0x10, 0x30, 0xFFFF));
    EXPECT_EQ(state.outputs[0].code, 0x3FF);
    ASSERT_TRUE(chip.write(0x10, 0x31, 0x003F));
    EXPECT_EQ(state.outputs[1].code, 0);
}

TEST_F(DacChipTest, ChipPowerDownKeepsCodesAndStopsReference)
{
    ASSERT_TRUE(send(0x60, 0));
    ASSERT_TRUE(send(0x30, 300));
    EXPECT_EQ(state.ref_powered, 1);

    ASSERT_TRUE(send(0x5F, 0, 0x73));
    for (const auto& out : state.outputs)
        EXPECT_EQ(out.powered, 0);
    EXPECT_EQ(state.ref_powered, 0);
    EXPECT_EQ(state.ref_internal, 1);
    EXPECT_EQ(state.outputs[0].code, 300);

    // An update brings the outputs and the selected reference back.
    ASSERT_TRUE(send(0x1F, 0));
    EXPECT_EQ(state.outputs[0].powered, 1);
    EXPECT_EQ(state.ref_powered, 1);
}

TEST_F(DacChipTest, PowerDownOneOutputAndReferenceSelection)
{
    ASSERT_TRUE(send(0x44, 0));
    EXPECT_EQ(state.outputs[4].powered, 0);
    EXPECT_EQ(state.outputs[3].powered, 1);

    ASSERT_TRUE(send(0x60, 0));
    EXPECT_EQ(state.ref_internal, 1);
    ASSERT_TRUE(send(0x70, 0));
    EXPECT_EQ(state.ref_internal, 0);
    EXPECT_EQ(state.ref_powered, 0);
}

TEST_F(DacChipTest, ReservedCommandsAndIndexesAreAcknowledgedAndIgnored)
{
    ASSERT_TRUE(send(0x30, 300));
    DacChipState before = state;
    EXPECT_TRUE(send(0x80, 5));
    EXPECT_TRUE(send(0x38, 5));
    EXPECT_TRUE(send(0xF0, 5));
    EXPECT_EQ(state.ignored, before.ignored + 2);
    for (unsigned n = 0; n < 8; n++) {
        EXPECT_EQ(state.outputs[n].code, before.outputs[n].code);
        EXPECT_EQ(state.outputs[n].input, before.outputs[n].input);
    }
}

TEST_F(DacChipTest, ReadIsNotAcknowledged)
{
    uint32_t data = 0;
    unsigned width = 0;
    EXPECT_FALSE(chip.read(0x10, 0x00, &data, &width));
}

TEST_F(DacChipTest, NakFaultRefusesFromTheNthWriteOnWithoutChangingState)
{
    std::string error;
    ASSERT_TRUE(chip.set_fault("nak", {"3"}, &error)) << error;
    EXPECT_TRUE(send(0x00, 1));
    EXPECT_TRUE(send(0x01, 2));
    EXPECT_FALSE(send(0x02, 3));
    EXPECT_FALSE(send(0x1F, 0));
    EXPECT_EQ(state.outputs[2].input, 0);
    EXPECT_EQ(state.outputs[0].code, 0);
    EXPECT_EQ(state.nak_fired, 2u);

    chip.clear_faults();
    EXPECT_TRUE(send(0x02, 3));
    EXPECT_EQ(state.outputs[2].input, 3);
}

TEST_F(DacChipTest, NakFaultRejectsBadArguments)
{
    std::string error;
    EXPECT_FALSE(chip.set_fault("nak", {"0"}, &error));
    EXPECT_FALSE(chip.set_fault("nak", {"x"}, &error));
    EXPECT_FALSE(chip.set_fault("nak", {"1", "2"}, &error));
    EXPECT_FALSE(chip.set_fault("busy", {}, &error));
    EXPECT_TRUE(chip.set_fault("nak", {}, &error));
    EXPECT_FALSE(send(0x00, 1));
}

TEST_F(DacChipTest, DescribeListsOutputsByNetName)
{
    ASSERT_TRUE(send(0x60, 0));
    ASSERT_TRUE(send(0x30, 0x12C));
    ASSERT_TRUE(send(0x02, 0x89));
    ASSERT_TRUE(send(0x47, 0));
    std::ostringstream out;
    chip.describe(out);
    const std::string text = out.str();
    EXPECT_EQ(text.rfind("  0x10 DAC U12 (also global 0x73): internal reference on, 4 write(s)\n", 0), 0u) << text;
    EXPECT_NE(text.find("    VREF   0x12c  powered\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    VLN    0x000  powered  (input 0x089 pending)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    VCAS   0x000  powered down\n"), std::string::npos) << text;
}

}  // namespace
