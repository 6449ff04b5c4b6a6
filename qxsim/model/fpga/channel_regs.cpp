#include "qxsim/model/fpga/channel_regs.h"

#include <fmt/format.h>

namespace qxsim {

QXSIM_REGISTER_TABLE(ChannelRegs, QXSIM_CHANNEL_REGISTERS)

namespace {

const unsigned CHL_SLOTS = 4;
const unsigned CLPOUT_SLOT = 4;
const size_t CHL_MASK_PREFIX = sizeof "CHL_MASK_" - 1;  // the rest of the name is the group

}  // namespace

ChannelRegs::ChannelRegs(ChannelState& state, const BlockPlace& place)
    : TableBlock(state, place), state_(state)
{
}

std::string ChannelRegs::note(uint32_t reg, uint32_t value, bool write)
{
    if (!write)
        return "";
    if (reg == CLPOUT_CTRL)
        return fmt::format(" (clamp output {}, width {}, offset {})", (value & CLPOUT_CTRL_ENABLE) ? "on" : "off",
                           field_value(value, CLPOUT_CTRL_WIDTH), field_value(value, CLPOUT_CTRL_OFFSET));
    unsigned on = 0;
    for (uint32_t v = value & CHL_MASK_CHANNELS; v; v &= v - 1)
        on++;
    return fmt::format(" ({} of {} channels on)", on, CHL_GROUP_CHANNELS);
}

void ChannelRegs::note_written(const Reg& reg, uint32_t)
{
    state_.written |= 1u << index_of(reg);
}

void ChannelRegs::reset()
{
    reset_registers();
    state_.written = 0;
}

// One line per group with its 20 channels, lowest first ('#' set, '.'
// clear), then the clamp fields. Bits the dialog never sets are called out.
void ChannelRegs::describe(std::ostream& out) const
{
    out << "channel mask and clamp output (0x8210..0x821c, 0x8170)\n";
    for (unsigned i = 0; i < CHL_SLOTS; ++i) {
        const RegisterInfo& reg = map_[i];
        const uint32_t mask = state_.mask[i];
        char channels[CHL_GROUP_CHANNELS + 1];
        unsigned set = 0;
        for (uint32_t bit = 0; bit < CHL_GROUP_CHANNELS; ++bit) {
            const bool on = (mask >> bit) & 1u;
            channels[bit] = on ? '#' : '.';
            set += on;
        }
        channels[CHL_GROUP_CHANNELS] = '\0';
        out << fmt::format("  {} 0x{:04x} = 0x{:05x}  channels {:2}-{:2} {}  {:2} set{}", reg.name + CHL_MASK_PREFIX,
                           reg.offset, mask, i * CHL_GROUP_CHANNELS, i * CHL_GROUP_CHANNELS + CHL_GROUP_CHANNELS - 1,
                           channels, set, (state_.written >> i) & 1u ? "" : "  (not written)");
        if (mask & ~CHL_MASK_CHANNELS)
            out << fmt::format("  bits 20-31: 0x{:x}", mask >> CHL_GROUP_CHANNELS);
        out << '\n';
    }

    const uint32_t clpout = state_.clpout;
    out << fmt::format("  clamp 0x{:04x} = 0x{:04x}  enable {}, offset {}, width {}{}", CLPOUT_CTRL, clpout,
                       clpout & CLPOUT_CTRL_ENABLE ? "on" : "off", field_value(clpout, CLPOUT_CTRL_OFFSET),
                       field_value(clpout, CLPOUT_CTRL_WIDTH),
                       (state_.written >> CLPOUT_SLOT) & 1u ? "" : "  (not written)");
    const uint32_t reserved = clpout & ~(CLPOUT_CTRL_ENABLE | CLPOUT_CTRL_WIDTH | CLPOUT_CTRL_OFFSET);
    if (reserved)
        out << fmt::format("  reserved bits: 0x{:x}", reserved);
    out << '\n';
}

}  // namespace qxsim
