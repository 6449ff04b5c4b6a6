// Channel mask registers (one per group of 20 sensor channels) and the
// clamp-output control register. Plain storage registers: the FPGA takes
// what is written and reads it back; `show` decodes them.
#pragma once

#include "qxsim/model/fpga/channel_state.h"
#include "qxsim/model/fpga/register_table.h"

namespace qxsim {

const uint32_t CHL_MASK_BL = 0x8210;
const uint32_t CHL_MASK_BR = 0x8214;
const uint32_t CHL_MASK_TL = 0x8218;
const uint32_t CHL_MASK_TR = 0x821C;
const uint32_t CHL_GROUP_CHANNELS = 20;
const uint32_t CHL_MASK_CHANNELS = 0xFFFFF;

const uint32_t CLPOUT_CTRL = 0x8170;
const uint32_t CLPOUT_OFFSET_MASK = 0x1F;
const uint32_t CLPOUT_WIDTH_SHIFT = 8;
const uint32_t CLPOUT_WIDTH_MASK = 0x7;
const uint32_t CLPOUT_ENABLE = 0x1000;
const uint32_t CLPOUT_USED_BITS = CLPOUT_ENABLE | (CLPOUT_WIDTH_MASK << CLPOUT_WIDTH_SHIFT) | CLPOUT_OFFSET_MASK;

class ChannelRegs : public TableBlock<ChannelRegs, ChannelState> {
public:
    explicit ChannelRegs(ChannelState& state);

    const char* name() const override { return "channels"; }
    void reset() override;
    // Plain FPGA registers: all zero again.
    void power_on() override { reset(); }
    void describe(std::ostream& out) const override;

    static const RegisterLayout& layout() { return map(); }

private:
    static const Reg table_[];
    static const Map& map();
    void note_written(const Reg& reg, uint32_t value);

    ChannelState& state_;
};

}  // namespace qxsim
