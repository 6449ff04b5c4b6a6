#include "qxsim/model/fpga/i2c_master.h"


#include <fmt/format.h>

namespace qxsim {

int primary_address(const I2cDevice& device)
{
    for (int a = 0; a < 256; a++)
        if (device.answers(static_cast<uint8_t>(a)))
            return a;
    return -1;
}

namespace {

enum I2cFault : unsigned { STUCK_BUSY, BUSY, ERROR };
constexpr FaultEntry i2c_fault_entries[] = {
    stuck_busy_fault("status shows busy forever; commands are dropped"),
    busy_fault("every transaction shows busy for K status reads"),
    {"error", "[next|always]", "the next (or every) transaction ends with the error bit",
     "error takes 'next' or 'always'"},
};
constexpr FaultTable i2c_faults(i2c_fault_entries);
constexpr uint64_t ERROR_ALWAYS = 2;

}  // namespace

QXSIM_REGISTER_TABLE(I2cMaster, QXSIM_I2C_REGISTERS)

I2cMaster::I2cMaster(const BlockPlace& place, I2cMasterState& s, const FpgaStatus& fpga)
    : TableBlock(s, place), s_(s), fpga_(fpga), bus_id_(place.bus)
{
    add_faults(i2c_faults, s_.faults);
}

FaultSlot& I2cMaster::fault(unsigned id) const
{
    return s_.faults.slot[i2c_faults.first(id)];
}

I2cDevice* I2cMaster::device_at(uint8_t addr) const
{
    for (I2cDevice* d : bus_)
        if (d->answers(addr))
            return d;
    return nullptr;
}

uint32_t I2cMaster::status(const Reg&)
{
    s_.status_reads++;
    if (FaultSlot& stuck = fault(STUCK_BUSY); stuck.armed) {
        stuck.fired++;
        return I2C_STATUS_BUSY | s_.error;
    }
    if (s_.busy_left) {
        // the K-th busy reading ends the transaction; the next one sees its result
        fault(BUSY).fired++;
        if (--s_.busy_left == 0)
            finish();
        return I2C_STATUS_BUSY;
    }
    return s_.error;
}

void I2cMaster::command(const Reg&, uint32_t word)
{
    if (fault(STUCK_BUSY).armed || s_.busy_left) {
        s_.dropped++;
        return;
    }
    s_.last_command = word;
    s_.transactions++;
    s_.error = 0;

    uint32_t op = word & I2C_CONTROL_OP;
    uint32_t dev = word >> 12;
    bool ok = false;
    uint32_t data = s_.rd_data;
    uint32_t control = s_.control;

    if ((op != I2C_CMD_READ && op != I2C_CMD_WRITE) || dev > 0xFF) {
        s_.refused++;
    } else if (FaultSlot& error = fault(ERROR); error.armed) {
        error.fired++;
        if (error.arg[0] != ERROR_ALWAYS)
            error.armed = 0;
    } else {
        I2cDevice* d = fpga_.i2c_enabled() ? device_at(static_cast<uint8_t>(dev)) : nullptr;
        uint8_t r = static_cast<uint8_t>(s_.reg_addr);
        if (d && op == I2C_CMD_READ) {
            uint32_t v = 0;
            unsigned width = 1;
            ok = d->read(static_cast<uint8_t>(dev), r, &v, &width);
            if (ok) {
                s_.reads++;
                if (width == 4) {
                    data = v;
                    control = I2C_CONTROL_WIDTH_32;
                } else if (width == 2) {
                    data = v & 0xFFFF;
                    control = I2C_CONTROL_WIDTH_16;
                } else {
                    data = v & 0xFF;
                    control = 0;
                }
            }
        } else if (d) {
            // Every device answering the address takes the write (a global
            // address reaches several); one acknowledge is enough on the wire.
            for (I2cDevice* w : bus_)
                if (w->answers(static_cast<uint8_t>(dev)) &&
                    w->write(static_cast<uint8_t>(dev), r, static_cast<uint16_t>(s_.wr_data)))
                    ok = true;
            if (ok) {
                s_.writes++;
                control = 0;
            }
        }
        if (!ok)
            s_.naks++;
        if (observer_ && fpga_.i2c_enabled()) {
            TraceRecord rec;
            rec.kind = TRACE_I2C_BUS;
            rec.bus = static_cast<uint8_t>(bus_id_);
            rec.dev = static_cast<uint8_t>(dev);
            rec.reg = r;
            rec.bus_read = op == I2C_CMD_READ;
            rec.ack = !d ? I2C_BUS_NAK : ok ? I2C_BUS_ACK : I2C_BUS_NAK_REGISTER;
            if (ok) {
                rec.width = rec.bus_read ? (control == I2C_CONTROL_WIDTH_32 ? 4 : control == I2C_CONTROL_WIDTH_16 ? 2 : 1) : 2;
                rec.value = rec.bus_read ? data : s_.wr_data & 0xFFFF;
            }
            observer_(observer_context_, rec);
        }
    }

    s_.pending_ok = ok;
    s_.pending_data = data;
    s_.pending_control = control;
    const FaultSlot& busy = fault(BUSY);
    s_.busy_left = busy.armed ? static_cast<uint32_t>(busy.arg[0]) : 0;
    if (s_.busy_left == 0)
        finish();
}

void I2cMaster::finish()
{
    s_.busy_left = 0;
    if (s_.pending_ok) {
        s_.rd_data = s_.pending_data;
        s_.control = s_.pending_control;
        s_.error = 0;
    } else {
        s_.error = I2C_STATUS_ERROR;
    }
}

void I2cMaster::reset()
{
    s_ = I2cMasterState{};
    reset_registers();
    for (I2cDevice* d : bus_)
        d->reset();
}

// A transaction in flight is lost with the registers; the devices already
// took it.
void I2cMaster::reload()
{
    reset_registers();
    s_.error = 0;
    s_.busy_left = s_.pending_ok = s_.pending_data = s_.pending_control = 0;
    s_.last_command = 0;
}

void I2cMaster::power_on()
{
    reload();
    for (I2cDevice* d : bus_)
        d->power_on();
}

void I2cMaster::fault_changed(const FaultTable&, unsigned id, bool set)
{
    if (!set && (id == STUCK_BUSY || id == BUSY) && s_.busy_left && !fault(STUCK_BUSY).armed && !fault(BUSY).armed)
        finish();
}

void I2cMaster::describe(std::ostream& out) const
{
    uint32_t st = fault(STUCK_BUSY).armed || s_.busy_left ? I2C_STATUS_BUSY | s_.error : s_.error;
    out << fmt::format("I2C master {} at 0x{:03x}: status 0x{:08x} ({}{}), {} transaction(s)\n", name(), base(), st,
                       st & I2C_STATUS_BUSY ? "busy" : "idle", st & I2C_STATUS_ERROR ? ", error" : "", s_.transactions);
    if (s_.transactions || s_.dropped || s_.status_reads) {
        out << fmt::format(
            "  {} read(s), {} write(s), {} not acknowledged, {} refused command(s), {} dropped while busy;"
            " {} status read(s)\n",
            s_.reads, s_.writes, s_.naks, s_.refused, s_.dropped, s_.status_reads);
        out << fmt::format("  last command 0x{:05x}\n", s_.last_command);
    }
    describe_faults(out);
    for (const I2cDevice* d : bus_) {
        if (primary_address(*d) < 0)
            continue;
        d->describe(out);
    }
}

}  // namespace qxsim
