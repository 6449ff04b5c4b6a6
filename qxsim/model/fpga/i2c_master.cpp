#include "qxsim/model/fpga/i2c_master.h"

#include "qxsim/trace/parse.h"

#include <fmt/format.h>

namespace qxsim {

int primary_address(const I2cDevice& device)
{
    for (int a = 0; a < 256; a++)
        if (device.answers(static_cast<uint8_t>(a)))
            return a;
    return -1;
}

const I2cMaster::Reg I2cMaster::table_[] = {QXSIM_I2C_REGISTERS(QXSIM_REGISTER_ROW)};

const I2cMaster::Map& I2cMaster::map()
{
    static const Map m(table_);
    return m;
}

I2cMaster::I2cMaster(const BlockPlace& place, I2cMasterState& s, const FpgaStatus& fpga)
    : TableBlock(map(), s, place.name, place.prefix, place.base), s_(s), fpga_(fpga)
{
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
    if (s_.stuck_busy) {
        s_.stuck_fired++;
        return I2C_STATUS_BUSY | s_.error;
    }
    if (s_.busy_left) {
        // the K-th busy reading ends the transaction; the next one sees its result
        s_.busy_fired++;
        if (--s_.busy_left == 0)
            finish();
        return I2C_STATUS_BUSY;
    }
    return s_.error;
}

void I2cMaster::command(const Reg&, uint32_t word)
{
    if (s_.stuck_busy || s_.busy_left) {
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
    } else if (s_.error_mode) {
        s_.error_fired++;
        if (s_.error_mode == 1)
            s_.error_mode = 0;
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
    }

    s_.pending_ok = ok;
    s_.pending_data = data;
    s_.pending_control = control;
    s_.busy_left = s_.busy_reads;
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

void I2cMaster::power_on()
{
    reset_registers();
    s_.error = 0;
    s_.busy_left = s_.pending_ok = s_.pending_data = s_.pending_control = 0;
    s_.last_command = 0;
    for (I2cDevice* d : bus_)
        d->power_on();
}

bool I2cMaster::set_fault(const std::string& fault, const std::vector<std::string>& args,
                          std::string* error)
{
    return faults.set(*this, fault, args, name(), error);
}

void I2cMaster::clear_faults()
{
    faults.clear_all(*this);
}

bool I2cMaster::clear_fault(const std::string& fault, std::string* error)
{
    return faults.clear(*this, fault, name(), error);
}

void I2cMaster::list_faults(std::ostream& out) const
{
    faults.list(out);
}

void I2cMaster::release_held_transaction()
{
    if (s_.busy_left && !s_.stuck_busy && !s_.busy_reads)
        finish();
}

const FaultEntry<I2cMaster> I2cMaster::fault_entries[] = {
    {"stuck-busy", "", "status shows busy forever; commands are dropped",
     [](I2cMaster& m, const std::vector<std::string>& args, std::string* error) {
         if (!args.empty()) {
             *error = "stuck-busy takes no argument";
             return false;
         }
         m.s_.stuck_busy = 1;
         return true;
     },
     [](I2cMaster& m) {
         m.s_.stuck_busy = 0;
         m.release_held_transaction();
     },
     [](const I2cMaster& m, std::ostream& out) {
         if (m.s_.stuck_busy)
             out << fmt::format("  fault stuck-busy: set, fired {} time(s)\n", m.s_.stuck_fired);
     }},
    {"busy", "K", "every transaction shows busy for K status reads",
     [](I2cMaster& m, const std::vector<std::string>& args, std::string* error) {
         uint32_t k = 0;
         if (args.size() != 1 || !parse_u32(args[0], &k) || k == 0) {
             *error = "busy takes the number of status reads (1 or more)";
             return false;
         }
         m.s_.busy_reads = k;
         return true;
     },
     [](I2cMaster& m) {
         m.s_.busy_reads = 0;
         m.release_held_transaction();
     },
     [](const I2cMaster& m, std::ostream& out) {
         if (m.s_.busy_reads)
             out << fmt::format("  fault busy {}: set, {} busy status read(s) so far\n", m.s_.busy_reads,
                                m.s_.busy_fired);
     }},
    {"error", "[next|always]", "the next (or every) transaction ends with the error bit",
     [](I2cMaster& m, const std::vector<std::string>& args, std::string* error) {
         std::string mode = args.empty() ? "next" : args[0];
         if (args.size() > 1 || (mode != "next" && mode != "always")) {
             *error = "error takes 'next' or 'always'";
             return false;
         }
         m.s_.error_mode = mode == "next" ? 1 : 2;
         return true;
     },
     [](I2cMaster& m) { m.s_.error_mode = 0; },
     [](const I2cMaster& m, std::ostream& out) {
         if (m.s_.error_mode)
             out << fmt::format("  fault error {}: set\n", m.s_.error_mode == 1 ? "next" : "always");
         if (m.s_.error_fired)
             out << fmt::format("  fault error fired {} time(s)\n", m.s_.error_fired);
     }},
};

const FaultTable<I2cMaster> I2cMaster::faults(I2cMaster::fault_entries);

void I2cMaster::describe(std::ostream& out) const
{
    uint32_t st = s_.stuck_busy || s_.busy_left ? I2C_STATUS_BUSY | s_.error : s_.error;
    out << fmt::format("I2C master {} at 0x{:03x}: status 0x{:08x} ({}{}), {} transaction(s)\n", name(), base(), st,
                       st & I2C_STATUS_BUSY ? "busy" : "idle", st & I2C_STATUS_ERROR ? ", error" : "",
                       s_.transactions);
    if (s_.transactions || s_.dropped || s_.status_reads) {
        out << fmt::format("  {} read(s), {} write(s), {} not acknowledged, {} refused command(s), {} dropped while busy;"
                           " {} status read(s)\n",
                           s_.reads, s_.writes, s_.naks, s_.refused, s_.dropped, s_.status_reads);
        out << fmt::format("  last command 0x{:05x}\n", s_.last_command);
    }
    faults.describe(*this, out);
    for (const I2cDevice* d : bus_) {
        if (primary_address(*d) < 0)
            continue;
        d->describe(out);
    }
}

}  // namespace qxsim
