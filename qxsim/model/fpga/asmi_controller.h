// The FPGA's serial-flash (ASMI) controller at registers 0x1000..0x1040
// (register_map.h):
// command, status, address and length registers, a write and a read FIFO of
// 32-bit words, the protect code register and the reconfiguration register.
// It turns commands into flash operations and knows nothing of NOR physics.
#pragma once

#include "qxsim/model/flash/epcq_flash.h"
#include "qxsim/model/flash/fpga_boot.h"
#include "qxsim/model/fpga/asmi_state.h"
#include "qxsim/model/fpga/register_map.h"

namespace qxsim {

class AsmiController : public TableBlock<AsmiController, AsmiState> {
public:
    static const Map& map();  // its table, from its list in register_map.h
    AsmiController(AsmiState& state, EpcqFlash& flash, FpgaBoot& boot,
                   const BlockPlace& place = block_place(BlockKind::asmi));

    // A new camera: controller defaults, new chip holding the factory image,
    // whole chip protected, then the first configuration.
    void reset() override;
    // Power switched on: FPGA logic and the chip's volatile state back to
    // their defaults, array and protection kept, then the FPGA configures
    // itself.
    void power_on() override;
    // Registers and FIFOs only; the configuration that follows a
    // reconfiguration is reconfigure()'s.
    void reload() override { logic_reset(); }
    // Called on a reconfiguration, before the configuration from flash: the
    // camera reloads every FPGA block. Without it only this block reloads.
    void on_reload(void (*reload)(void*), void* context)
    {
        reload_ = reload;
        reload_context_ = context;
    }

    void describe(std::ostream& out) const override;

    const AsmiState& state() const { return state_; }
    EpcqFlash& flash() { return flash_; }
    FpgaBoot& boot() { return boot_; }


private:
    // register hooks
    uint32_t read_status(const Reg& reg);
    uint32_t read_wr_level(const Reg& reg);
    uint32_t read_rd_level(const Reg& reg);
    uint32_t pop_rd_fifo(const Reg& reg);
    void push_wr_fifo(const Reg& reg, uint32_t value);
    void command(const Reg& reg, uint32_t value);
    void reconfigure(const Reg& reg, uint32_t value);

    FaultSlot& fault(unsigned id, unsigned part = 0) const;
    // A pending busy count goes with the busy fault.
    void fault_changed(const FaultTable& table, unsigned id, bool set) override;
    uint32_t read_level(const AsmiFifo& fifo, unsigned part);
    bool busy_now() const;
    void write_to_flash(bool image);
    void read_from_flash(bool image);
    void clear();
    // The controller's registers and FIFOs as the FPGA loads them.
    void logic_reset();

    AsmiState& state_;
    EpcqFlash& flash_;
    FpgaBoot& boot_;
    void (*reload_)(void*) = nullptr;
    void* reload_context_ = nullptr;
};

}  // namespace qxsim
