#include "qxsim/model/fpga/fpga_status.h"

#include <fmt/format.h>

namespace qxsim {

QXSIM_REGISTER_TABLE(FpgaStatus, QXSIM_FPGA_STATUS_REGISTERS)

FpgaStatus::FpgaStatus(FpgaStatusState& s, const BlockPlace& place)
    : TableBlock(s, place), s_(s)
{
}

std::string FpgaStatus::note(uint32_t reg, uint32_t value, bool write)
{
    if (reg != FPGA_STATUS || write)
        return "";
    return (value & FPGA_STATUS_I2C_ENABLED) ? " (I2C bus enabled)" : " (I2C bus disabled)";
}

void FpgaStatus::ignored_write(const Reg&, uint32_t)
{
    s_.ignored_writes++;
}

void FpgaStatus::reset()
{
    s_ = FpgaStatusState{};
    reset_registers();
}

void FpgaStatus::power_on()
{
    const uint32_t bus = s_.status & FPGA_STATUS_I2C_ENABLED;
    reset_registers();
    s_.status = (s_.status & ~FPGA_STATUS_I2C_ENABLED) | bus;
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
