#include "qxsim/model/fpga/register_map.h"

#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/fpga/channel_regs.h"
#include "qxsim/model/fpga/fpga_status.h"
#include "qxsim/model/fpga/i2c_master.h"

#include <cstdlib>

namespace qxsim {

const BlockPlace FPGA_BLOCKS[6] = {
    {BlockKind::fpga_status, "fpga", "", 0, BUS_MAIN, &FpgaStatus::layout, &FpgaStatus::note},
    {BlockKind::i2c_master, "i2c-main", "MAIN_", I2C_MAIN_BASE, BUS_MAIN, &I2cMaster::layout, nullptr},
    {BlockKind::i2c_master, "i2c-isb", "ISB_", I2C_ISB_BASE, BUS_ISB, &I2cMaster::layout, nullptr},
    {BlockKind::i2c_master, "i2c-iob", "IOB_", I2C_IOB_BASE, BUS_IOB, &I2cMaster::layout, nullptr},
    {BlockKind::channels, "channels", "", 0, BUS_MAIN, &ChannelRegs::layout, &ChannelRegs::note},
    {BlockKind::asmi, "asmi", "", 0, BUS_MAIN, &AsmiController::layout, nullptr},
};

const BlockPlace& block_place(BlockKind kind)
{
    for (const BlockPlace& p : FPGA_BLOCKS)
        if (p.kind == kind)
            return p;
    std::abort();
}

const BlockPlace& i2c_master_place(Bus bus)
{
    for (const BlockPlace& p : FPGA_BLOCKS)
        if (p.kind == BlockKind::i2c_master && p.bus == bus)
            return p;
    std::abort();
}

}  // namespace qxsim
