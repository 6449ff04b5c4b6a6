// FPGA identification and status registers.
#pragma once

#include "qxsim/model/fpga_status_state.h"
#include "qxsim/model/register_block.h"

namespace qxsim {

constexpr uint32_t FPGA_ID = 0x0;
constexpr uint32_t FPGA_STATUS = 0x4;
constexpr uint32_t FPGA_STATUS_CONFIGURED = 0x01;
constexpr uint32_t FPGA_STATUS_I2C_ENABLED = 0x10;
constexpr uint32_t FPGA_ID_VALUE = 0x51580201;  // "QX", design 2, revision 1

class FpgaStatus : public RegisterBlock {
public:
    explicit FpgaStatus(FpgaStatusState& s) : s_(s) {}

    const char* name() const override { return "fpga"; }
    bool decodes(uint32_t reg) const override { return reg == FPGA_ID || reg == FPGA_STATUS; }
    uint32_t read(uint32_t reg) override;
    void write(uint32_t reg, uint32_t value) override;
    void reset() override;
    // Configured again; the bus-enable bit follows the board, not the FPGA.
    void power_on() override;
    void describe(std::ostream& out) const override;

    bool i2c_enabled() const { return (s_.status & FPGA_STATUS_I2C_ENABLED) != 0; }
    void set_i2c_enabled(bool on);

private:
    FpgaStatusState& s_;
};

}  // namespace qxsim
