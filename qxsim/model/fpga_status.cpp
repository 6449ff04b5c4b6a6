#include "qxsim/model/fpga_status.h"

#include <fmt/format.h>

namespace qxsim {

uint32_t FpgaStatus::read(uint32_t reg)
{
    return reg == FPGA_ID ? FPGA_ID_VALUE : s_.status;
}

// Both registers are read-only for software; the bus-enable bit follows the
// board's I2C power, which only the simulator's front end switches.
void FpgaStatus::write(uint32_t, uint32_t)
{
    s_.ignored_writes++;
}

void FpgaStatus::reset()
{
    s_ = FpgaStatusState{};
    s_.status = FPGA_STATUS_CONFIGURED | FPGA_STATUS_I2C_ENABLED;
}

void FpgaStatus::power_on()
{
    s_.status = FPGA_STATUS_CONFIGURED | (s_.status & FPGA_STATUS_I2C_ENABLED);
}

void FpgaStatus::set_i2c_enabled(bool on)
{
    if (on)
        s_.status |= FPGA_STATUS_I2C_ENABLED;
    else
        s_.status &= ~FPGA_STATUS_I2C_ENABLED;
}

void FpgaStatus::describe(std::ostream& out) const
{
    out << fmt::format("FPGA: id 0x{:08x}, status 0x{:08x} (I2C bus {})\n", FPGA_ID_VALUE, s_.status,
                       i2c_enabled() ? "enabled" : "DISABLED");
    if (s_.ignored_writes)
        out << fmt::format("  {} write(s) to the read-only id/status registers ignored\n",
                           s_.ignored_writes);
}

}  // namespace qxsim
