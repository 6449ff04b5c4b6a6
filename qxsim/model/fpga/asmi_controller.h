// The FPGA's serial-flash (ASMI) controller at registers 0x1000..0x1040:
// command, status, address and length registers, a write and a read FIFO of
// 32-bit words, the protect code register and the reconfiguration register.
// It turns commands into flash operations and knows nothing of NOR physics.
#pragma once

#include "qxsim/model/flash/epcq_flash.h"
#include "qxsim/model/flash/fpga_boot.h"
#include "qxsim/model/fpga/asmi_state.h"
#include "qxsim/model/fpga/register_table.h"

namespace qxsim {

constexpr uint32_t ASMI_CMD = 0x1000;
constexpr uint32_t ASMI_STATUS = 0x1004;
constexpr uint32_t ASMI_ADDR = 0x1008;
constexpr uint32_t ASMI_LENGTH = 0x100C;
constexpr uint32_t ASMI_PROTECT_CODE = 0x1010;
constexpr uint32_t ASMI_WR_FIFO = 0x1014;
constexpr uint32_t ASMI_WR_FIFO_LEVEL = 0x1018;
constexpr uint32_t ASMI_RD_FIFO = 0x101C;
constexpr uint32_t ASMI_RD_FIFO_LEVEL = 0x1020;
constexpr uint32_t ASMI_RECONFIG = 0x1040;

constexpr uint32_t ASMI_4BYTE_MODE = 0x001;
constexpr uint32_t ASMI_READ_ID = 0x002;
constexpr uint32_t ASMI_WRITE = 0x008;
constexpr uint32_t ASMI_READ = 0x010;
constexpr uint32_t ASMI_PROTECT = 0x020;
constexpr uint32_t ASMI_SECTOR_ERASE = 0x040;
constexpr uint32_t ASMI_IMAGE_DATA = 0x200;
constexpr uint32_t ASMI_CLEAR = 0x1000;

constexpr uint32_t ASMI_STATUS_BUSY = 0x1;
constexpr uint32_t ASMI_STATUS_ERASE_ERR = 0x2;
constexpr uint32_t ASMI_STATUS_WRITE_ERR = 0x4;
constexpr uint32_t ASMI_STATUS_ID_SHIFT = 8;
constexpr uint32_t ASMI_STATUS_ID_MASK = 0xFF00;

constexpr uint32_t ASMI_RECONFIG_START = 0x10;

class AsmiController : public TableBlock<AsmiController, AsmiState> {
public:
    AsmiController(AsmiState& state, EpcqFlash& flash, FpgaBoot& boot);

    const char* name() const override { return "asmi"; }

    // A new camera: controller defaults, new chip holding the factory image,
    // whole chip protected, then the first configuration.
    void reset() override;
    // Power switched on: FPGA logic and the chip's volatile state back to
    // their defaults, array and protection kept, then the FPGA configures
    // itself.
    void power_on() override;

    void describe(std::ostream& out) const override;
    bool set_fault(const std::string& fault, const std::vector<std::string>& args, std::string* error) override;
    void clear_faults() override;
    bool clear_fault(const std::string& fault, std::string* error) override;
    void list_faults(std::ostream& out) const override;

    const AsmiState& state() const { return state_; }
    EpcqFlash& flash() { return flash_; }
    FpgaBoot& boot() { return boot_; }

    static const RegisterLayout& layout() { return map(); }

private:
    static const Reg table_[];
    static const Map& map();
    // register hooks
    uint32_t read_status(const Reg& reg);
    uint32_t read_wr_level(const Reg& reg);
    uint32_t read_rd_level(const Reg& reg);
    uint32_t pop_rd_fifo(const Reg& reg);
    void push_wr_fifo(const Reg& reg, uint32_t value);
    void command(const Reg& reg, uint32_t value);
    void reconfigure(const Reg& reg, uint32_t value);

    uint32_t read_level(const AsmiFifo& fifo, AsmiLevelFault& fault);
    bool busy_now() const;
    void write_to_flash(bool image);
    void read_from_flash(bool image);
    void clear();
    // The controller's registers and FIFOs as the FPGA loads them.
    void logic_reset();

    AsmiState& state_;
    EpcqFlash& flash_;
    FpgaBoot& boot_;
};

}  // namespace qxsim
