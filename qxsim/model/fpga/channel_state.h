// Shared state of the channel mask and clamp-output registers.
#pragma once

#include <cstdint>

namespace qxsim {

struct ChannelState {
    // Channel mask registers of the groups BL, BR, TL, TR (0x8210..0x821C),
    // as last written; bits 0-19 are the group's channels.
    uint32_t mask[4];
    // Clamp-output control 0x8170: offset bits 0-4, width 8-10, enable 12.
    uint32_t clpout;
    // One bit per register above (mask groups 0-3, clamp 4): written since reset.
    uint32_t written;
};

}  // namespace qxsim
