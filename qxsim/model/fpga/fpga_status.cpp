#include "qxsim/model/fpga/fpga_status.h"

#include <fmt/format.h>

namespace qxsim {

// Both registers are read-only for software; the bus-enable bit follows the
// board's I2C power, which only the simulator's front end switches.
const FpgaStatus::Reg FpgaStatus::table_[] = {
    // name, offset, access, reset, writable, w1c; storage; read, write hooks
    {{"FPGA_ID", FPGA_ID, RegAccess::RO, FPGA_ID_VALUE, 0, 0},
     NO_STORAGE, nullptr, &FpgaStatus::ignored_write},
    {{"FPGA_STATUS", FPGA_STATUS, RegAccess::RO, FPGA_STATUS_CONFIGURED | FPGA_STATUS_I2C_ENABLED, 0, 0},
     offsetof(FpgaStatusState, status), nullptr, &FpgaStatus::ignored_write},
};

const FpgaStatus::Map& FpgaStatus::map()
{
    static const Map m(table_);
    return m;
}

FpgaStatus::FpgaStatus(FpgaStatusState& s) : TableBlock(map(), s, 0), s_(s) {}

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
