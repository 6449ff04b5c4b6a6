#include "qxsim/model/channel_regs.h"

#include <cstdio>

namespace qxsim {

namespace {

struct ChannelReg {
    const char* group;      // group label, or nullptr for the clamp register
    uint32_t offset;
    unsigned first_channel; // running number of the group's bit 0
};

// Table order is the slot number: mask groups 0-3, then the clamp register.
const ChannelReg channel_regs[] = {
    {"BL", CHL_MASK_BL, 0},
    {"BR", CHL_MASK_BR, 20},
    {"TL", CHL_MASK_TL, 40},
    {"TR", CHL_MASK_TR, 60},
    {nullptr, CLPOUT_CTRL, 0},
};
const int CHL_SLOTS = 4;
const int CLPOUT_SLOT = 4;
const int REG_COUNT = sizeof channel_regs / sizeof channel_regs[0];

}  // namespace

int ChannelRegs::slot(uint32_t reg)
{
    for (int i = 0; i < REG_COUNT; ++i)
        if (channel_regs[i].offset == reg)
            return i;
    return -1;
}

uint32_t& ChannelRegs::value_of(int slot) const
{
    return slot == CLPOUT_SLOT ? state_.clpout : state_.mask[slot];
}

bool ChannelRegs::decodes(uint32_t reg) const
{
    return slot(reg) >= 0;
}

uint32_t ChannelRegs::read(uint32_t reg)
{
    const int i = slot(reg);
    return i < 0 ? 0 : value_of(i);
}

void ChannelRegs::write(uint32_t reg, uint32_t value)
{
    const int i = slot(reg);
    if (i < 0)
        return;
    value_of(i) = value;
    state_.written |= 1u << i;
}

void ChannelRegs::reset()
{
    for (int i = 0; i < CHL_SLOTS; ++i)
        state_.mask[i] = 0;
    state_.clpout = 0;
    state_.written = 0;
}

// One line per group with its 20 channels, lowest first ('#' set, '.'
// clear), then the clamp fields. Bits the dialog never sets are called out.
void ChannelRegs::describe(std::ostream& out) const
{
    char line[160];
    out << "channel mask and clamp output (0x8210..0x821c, 0x8170)\n";
    for (int i = 0; i < CHL_SLOTS; ++i) {
        const ChannelReg& reg = channel_regs[i];
        const uint32_t mask = state_.mask[i];
        char channels[CHL_GROUP_CHANNELS + 1];
        unsigned set = 0;
        for (uint32_t bit = 0; bit < CHL_GROUP_CHANNELS; ++bit) {
            const bool on = (mask >> bit) & 1u;
            channels[bit] = on ? '#' : '.';
            set += on;
        }
        channels[CHL_GROUP_CHANNELS] = '\0';
        std::snprintf(line, sizeof line, "  %s 0x%04x = 0x%05x  channels %2u-%2u %s  %2u set%s",
                      reg.group, reg.offset, mask, reg.first_channel,
                      reg.first_channel + CHL_GROUP_CHANNELS - 1, channels, set,
                      (state_.written >> i) & 1u ? "" : "  (not written)");
        out << line;
        if (mask & ~CHL_MASK_CHANNELS) {
            std::snprintf(line, sizeof line, "  bits 20-31: 0x%x", mask >> CHL_GROUP_CHANNELS);
            out << line;
        }
        out << '\n';
    }

    const uint32_t clpout = state_.clpout;
    std::snprintf(line, sizeof line, "  clamp 0x%04x = 0x%04x  enable %s, offset %u, width %u%s",
                  CLPOUT_CTRL, clpout, clpout & CLPOUT_ENABLE ? "on" : "off",
                  clpout & CLPOUT_OFFSET_MASK, (clpout >> CLPOUT_WIDTH_SHIFT) & CLPOUT_WIDTH_MASK,
                  (state_.written >> CLPOUT_SLOT) & 1u ? "" : "  (not written)");
    out << line;
    if (clpout & ~CLPOUT_USED_BITS) {
        std::snprintf(line, sizeof line, "  reserved bits: 0x%x", clpout & ~CLPOUT_USED_BITS);
        out << line;
    }
    out << '\n';
}

}  // namespace qxsim
