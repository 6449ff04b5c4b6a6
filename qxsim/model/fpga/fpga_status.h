// FPGA identification and status registers (register_map.h).
#pragma once

#include "qxsim/model/fpga/fpga_status_state.h"
#include "qxsim/model/fpga/register_map.h"

namespace qxsim {

class FpgaStatus : public TableBlock<FpgaStatus, FpgaStatusState> {
public:
    static const Map& map();  // its table, from its list in register_map.h
    FpgaStatus(FpgaStatusState& s, const BlockPlace& place);

    void reset() override;
    // Configured again; the bus-enable bit follows the board, not the FPGA.
    void power_on() override;
    void reload() override { power_on(); }
    void describe(std::ostream& out) const override;

    bool i2c_enabled() const { return (s_.status & FPGA_STATUS_I2C_ENABLED) != 0; }
    void set_i2c_enabled(bool on);

    // The bus-enable bit of a FPGA_STATUS read, for the decoded trace.
    static std::string note(uint32_t reg, uint32_t value, bool write);

private:
    void ignored_write(const Reg& reg, uint32_t value);

    FpgaStatusState& s_;
};

}  // namespace qxsim
