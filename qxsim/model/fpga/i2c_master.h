// One of the FPGA's three I2C masters: five registers at its base and the
// bus of devices behind it.
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

#include "qxsim/model/camera/camera_state.h"
#include "qxsim/model/fault_table.h"
#include "qxsim/model/fpga/fpga_status.h"
#include "qxsim/model/devices/i2c_device.h"
#include "qxsim/model/fpga/i2c_master_state.h"
#include "qxsim/model/fpga/register_table.h"
#include "qxsim/trace/trace_format.h"

#include <vector>

namespace qxsim {

constexpr uint32_t I2C_MAIN_BASE = 0x160;
constexpr uint32_t I2C_ISB_BASE = 0x180;
constexpr uint32_t I2C_IOB_BASE = 0x1A0;

constexpr uint32_t I2C_CONTROL = 0x00;
constexpr uint32_t I2C_STATUS = 0x04;
constexpr uint32_t I2C_REG_ADDR = 0x08;
constexpr uint32_t I2C_WR_DATA = 0x0C;
constexpr uint32_t I2C_RD_DATA = 0x10;

constexpr uint32_t I2C_STATUS_BUSY = 0x80000000;
constexpr uint32_t I2C_STATUS_ERROR = 0x40000000;

constexpr uint32_t I2C_CMD_MASK = 0xFFF;
constexpr uint32_t I2C_CMD_READ = 0x111;
constexpr uint32_t I2C_CMD_WRITE = 0x120;

constexpr uint32_t I2C_WIDTH_32 = 0x40;
constexpr uint32_t I2C_WIDTH_16 = 0x20;

// Where the three masters sit, in Bus order. Their registers are named
// with the bus in front of the hardware's name: ISB_I2C_STATUS.
struct I2cMasterPlace {
    Bus bus;
    const char* name;    // block name, "i2c-isb"
    const char* prefix;  // register name prefix, "ISB_"
    uint32_t base;
};
inline constexpr I2cMasterPlace I2C_MASTERS[BUS_COUNT] = {
    {BUS_MAIN, "i2c-main", "MAIN_", I2C_MAIN_BASE},
    {BUS_ISB, "i2c-isb", "ISB_", I2C_ISB_BASE},
    {BUS_IOB, "i2c-iob", "IOB_", I2C_IOB_BASE},
};

class I2cMaster : public TableBlock<I2cMaster, I2cMasterState> {
public:
    I2cMaster(const I2cMasterPlace& place, I2cMasterState& s, const FpgaStatus& fpga);

    const char* name() const override { return place_.name; }
    const char* register_prefix() const override { return place_.prefix; }
    void reset() override;
    // Registers cleared and a transaction in flight lost; then the devices.
    void power_on() override;
    void describe(std::ostream& out) const override;
    bool set_fault(const std::string& fault, const std::vector<std::string>& args,
                   std::string* error) override;
    void clear_faults() override;
    bool clear_fault(const std::string& fault, std::string* error) override;
    void list_faults(std::ostream& out) const override;

    static const RegisterLayout& layout() { return map(); }

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
    static const Reg table_[];
    static const Map& map();
    void command(const Reg& reg, uint32_t word);
    void finish();
    uint32_t status(const Reg& reg);
    // A transaction held up by a busy fault ends when the fault goes.
    void release_held_transaction();

    static const FaultEntry<I2cMaster> fault_entries[];
    static const FaultTable<I2cMaster> faults;

    const I2cMasterPlace place_;
    I2cMasterState& s_;
    const FpgaStatus& fpga_;
    std::vector<I2cDevice*> bus_;
    BusObserver observer_ = nullptr;
    void* observer_context_ = nullptr;
};

// Lowest address the device acknowledges, or -1 (an unused device slot).
int primary_address(const I2cDevice& device);

}  // namespace qxsim
