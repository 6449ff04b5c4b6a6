#include "qxsim/model/fpga/channel_regs.h"

#include <fmt/format.h>

namespace qxsim {

// Table order is the bit number in `written`: mask groups BL, BR, TL, TR
// (channels 0-19, 20-39, ...), then the clamp register.
const ChannelRegs::Reg ChannelRegs::table_[] = {
    // name, offset, access, reset, writable, w1c; storage; read, write hooks
    {{"CHL_MASK_BL", CHL_MASK_BL, RegAccess::RW, 0, 0xFFFFFFFF, 0},
     offsetof(ChannelState, mask[0]), nullptr, &ChannelRegs::note_written},
    {{"CHL_MASK_BR", CHL_MASK_BR, RegAccess::RW, 0, 0xFFFFFFFF, 0},
     offsetof(ChannelState, mask[1]), nullptr, &ChannelRegs::note_written},
    {{"CHL_MASK_TL", CHL_MASK_TL, RegAccess::RW, 0, 0xFFFFFFFF, 0},
     offsetof(ChannelState, mask[2]), nullptr, &ChannelRegs::note_written},
    {{"CHL_MASK_TR", CHL_MASK_TR, RegAccess::RW, 0, 0xFFFFFFFF, 0},
     offsetof(ChannelState, mask[3]), nullptr, &ChannelRegs::note_written},
    {{"CLPOUT_CTRL", CLPOUT_CTRL, RegAccess::RW, 0, 0xFFFFFFFF, 0},
     offsetof(ChannelState, clpout), nullptr, &ChannelRegs::note_written},
};

namespace {

const unsigned CHL_SLOTS = 4;
const unsigned CLPOUT_SLOT = 4;
const size_t CHL_MASK_PREFIX = sizeof "CHL_MASK_" - 1;  // the rest of the name is the group

}  // namespace

const ChannelRegs::Map& ChannelRegs::map()
{
    static const Map m(table_);
    return m;
}

ChannelRegs::ChannelRegs(ChannelState& state) : TableBlock(map(), state, 0), state_(state) {}

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
                       clpout & CLPOUT_ENABLE ? "on" : "off", clpout & CLPOUT_OFFSET_MASK,
                       (clpout >> CLPOUT_WIDTH_SHIFT) & CLPOUT_WIDTH_MASK,
                       (state_.written >> CLPOUT_SLOT) & 1u ? "" : "  (not written)");
    if (clpout & ~CLPOUT_USED_BITS)
        out << fmt::format("  reserved bits: 0x{:x}", clpout & ~CLPOUT_USED_BITS);
    out << '\n';
}

}  // namespace qxsim
