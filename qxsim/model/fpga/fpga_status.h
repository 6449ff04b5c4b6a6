// FPGA identification and status registers.
#pragma once

#include "qxsim/model/fpga/fpga_status_state.h"
#include "qxsim/model/fpga/register_table.h"

namespace qxsim {

constexpr uint32_t FPGA_ID = 0x0;
constexpr uint32_t FPGA_STATUS = 0x4;
constexpr uint32_t FPGA_STATUS_CONFIGURED = 0x01;
constexpr uint32_t FPGA_STATUS_I2C_ENABLED = 0x10;
constexpr uint32_t FPGA_ID_VALUE = 0x51580201;  // "QX", design 2, revision 1

class FpgaStatus : public TableBlock<FpgaStatus, FpgaStatusState> {
public:
    explicit FpgaStatus(FpgaStatusState& s);

    const char* name() const override { return "fpga"; }
    void reset() override;
    // Configured again; the bus-enable bit follows the board, not the FPGA.
    void power_on() override;
    void describe(std::ostream& out) const override;

    bool i2c_enabled() const { return (s_.status & FPGA_STATUS_I2C_ENABLED) != 0; }
    void set_i2c_enabled(bool on);

    static const RegisterLayout& layout() { return map(); }

private:
    static const Reg table_[];
    static const Map& map();
    void ignored_write(const Reg& reg, uint32_t value);

    FpgaStatusState& s_;
};

}  // namespace qxsim
