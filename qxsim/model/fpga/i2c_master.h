// One of the FPGA's three I2C masters: five registers at its base
// (register_map.h) and the bus of devices behind it.
//
// A command word (device << 12) | 0x111 reads, | 0x120 writes. Transactions
// complete at once unless a busy fault stretches them over a number of
// status reads; the device sees the transaction when the command is
// written, the result registers change when busy ends. A transaction fails
// (error bit, no data) when no device acknowledges, when the command word
// carries unknown bits, or while FPGA_STATUS shows the I2C bus disabled: the
// master then drives no clock and every address goes unacknowledged. A
// command written while the master is busy is dropped, as the logic ignores
// its control register until the running transaction ends. A write reaches
// every device answering its address (the DACs' global address reaches
// both) and is acknowledged when any of them acknowledges.
#pragma once

#include "qxsim/model/fault_table.h"
#include "qxsim/model/fpga/fpga_status.h"
#include "qxsim/model/devices/i2c_device.h"
#include "qxsim/model/fpga/i2c_master_state.h"
#include "qxsim/model/fpga/register_map.h"
#include "qxsim/trace/trace_format.h"

#include <vector>

namespace qxsim {

class I2cMaster : public TableBlock<I2cMaster, I2cMasterState> {
public:
    static const Map& map();  // its table, from its list in register_map.h
    I2cMaster(const BlockPlace& place, I2cMasterState& s, const FpgaStatus& fpga);

    void reset() override;
    // Registers cleared and a transaction in flight lost; then the devices.
    void power_on() override;
    void reload() override;
    void describe(std::ostream& out) const override;


    // The bus: devices are owned by the camera and stay attached.
    void attach(I2cDevice* device) { bus_.push_back(device); }
    const std::vector<I2cDevice*>& devices() const { return bus_; }
    // The first device acknowledging `addr`, or null.
    I2cDevice* device_at(uint8_t addr) const;

    const I2cMasterState& state() const { return s_; }

    // Told of every transaction the bus carried, as its devices took it
    // (an I record for the trace): not of those the master refused or
    // could not clock.
    using BusObserver = void (*)(void* context, const TraceRecord& rec);
    void observe(BusObserver observer, void* context)
    {
        observer_ = observer;
        observer_context_ = context;
    }

private:
    void command(const Reg& reg, uint32_t word);
    void finish();
    uint32_t status(const Reg& reg);
    FaultSlot& fault(unsigned id) const;
    // A transaction held up by a busy fault ends when the fault goes.
    void fault_changed(const FaultTable& table, unsigned id, bool set) override;

    I2cMasterState& s_;
    const FpgaStatus& fpga_;
    Bus bus_id_;
    std::vector<I2cDevice*> bus_;
    BusObserver observer_ = nullptr;
    void* observer_context_ = nullptr;
};

// Lowest address the device acknowledges, or -1 (an unused device slot).
int primary_address(const I2cDevice& device);

}  // namespace qxsim
