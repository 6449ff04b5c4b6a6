// Channel mask registers (one per group of 20 sensor channels) and the
// clamp-output control register (register_map.h). Plain storage registers:
// the FPGA takes what is written and reads it back; `show` decodes them.
#pragma once

#include "qxsim/model/fpga/channel_state.h"
#include "qxsim/model/fpga/register_map.h"

namespace qxsim {

class ChannelRegs : public TableBlock<ChannelRegs, ChannelState> {
public:
    static const Map& map();  // its table, from its list in register_map.h
    explicit ChannelRegs(ChannelState& state, const BlockPlace& place = block_place(BlockKind::channels));

    void reset() override;
    // Plain FPGA registers: all zero again.
    void power_on() override { reset(); }
    void reload() override { reset(); }
    void describe(std::ostream& out) const override;

    // What a written value sets, for the decoded trace.
    static std::string note(uint32_t reg, uint32_t value, bool write);

private:
    void note_written(const Reg& reg, uint32_t value);

    ChannelState& state_;
};

}  // namespace qxsim
