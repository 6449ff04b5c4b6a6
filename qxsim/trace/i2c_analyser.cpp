#include "qxsim/trace/i2c_analyser.h"

#include "qxsim/model/devices/dac_chip.h"
#include "qxsim/model/devices/ident_memory.h"

#include <fmt/format.h>

namespace qxsim {

namespace {

// What the device behind an ISB transaction makes of it, or "".
std::string isb_meaning(const I2cTransaction& t)
{
    const auto dev = static_cast<uint8_t>(t.dev());
    const auto reg = static_cast<uint8_t>(t.dev_reg);
    if (t.is_write() && (dev == DAC_U12_WIRING.addr || dev == DAC_U14_WIRING.addr || dev == DAC_GLOBAL_ADDRESS))
        return dac_write_meaning(dev, reg, static_cast<uint16_t>(t.dev_data));
    if (t.is_read() && dev == IDENT_ADDR && t.have_rd && !(t.status & I2C_STATUS_ERROR))
        return ident_read_meaning(reg, t.data(), t.width());
    return "";
}

}  // namespace

unsigned I2cTransaction::width() const
{
    return !have_ctl ? 32 : (ctl & I2C_CONTROL_WIDTH_32) ? 32 : (ctl & I2C_CONTROL_WIDTH_16) ? 16 : 8;
}

uint32_t I2cTransaction::data() const
{
    return width() == 32 ? rd : rd & ((1u << width()) - 1);
}

int I2cAnalyser::master_in_range(uint32_t reg)
{
    for (unsigned m = 0; m < BUS_COUNT; m++) {
        uint32_t base = i2c_master_place(static_cast<Bus>(m)).base;
        if (reg >= base && reg <= base + I2C_RD_DATA)
            return static_cast<int>(m);
    }
    return -1;
}

void I2cAnalyser::preset(Bus bus, uint32_t reg_addr, uint32_t wr_data)
{
    masters_[bus].reg_addr = reg_addr;
    masters_[bus].wr_data = wr_data;
}

void I2cAnalyser::close(I2cTransaction& t)
{
    if (!t.open)
        return;
    masters_[t.bus].writers.forget(&t);
    if (masters_[t.bus].unread == &t)
        masters_[t.bus].unread = nullptr;
    sink_.finished(t);
    t.open = false;
}

void I2cAnalyser::close_issuer(int64_t issuer, const char* why)
{
    if (Transactions* ts = issuers_.find(issuer))
        for (I2cTransaction& t : *ts)
            if (t.open) {
                if (why) {
                    t.note(why);
                    t.failed = true;
                }
                close(t);
            }
}

void I2cAnalyser::close_all()
{
    for (const auto& ts : issuers_.all())
        for (I2cTransaction& t : *ts)
            close(t);
}

// Where an access falls: in the open transaction, or does it begin the
// issuer's next one? Any write after the command, or a status read once the
// result is in, starts the next.
bool I2cAnalyser::begins_next(const I2cTransaction& t, uint32_t off, const TraceRecord& rec)
{
    const bool is_write = rec.kind != TRACE_READ;
    return t.open && ((is_write && t.phase >= I2cTransaction::COMMANDED) ||
                      (!is_write && off == I2C_STATUS && t.phase == I2cTransaction::RESULT));
}

void I2cAnalyser::cut_before(int64_t issuer, Bus bus, const TraceRecord& rec)
{
    if (Transactions* ts = issuers_.find(issuer)) {
        I2cTransaction& t = (*ts)[bus];
        if (begins_next(t, rec.reg - i2c_master_place(bus).base, rec))
            close(t);
    }
}

void I2cAnalyser::access(int64_t issuer, Bus bus, const TraceRecord& rec, size_t index)
{
    I2cTransaction& t = issuers_.get(issuer)[bus];
    const uint32_t off = rec.reg - i2c_master_place(bus).base;
    const bool is_write = rec.kind != TRACE_READ;
    if (begins_next(t, off, rec))
        close(t);
    if (!t.open) {
        t = I2cTransaction();
        t.start(issuer, rec, index);
        t.bus = bus;
        if (is_write)
            t.phase = I2cTransaction::SETUP;
        else
            t.phase = off == I2C_STATUS ? I2cTransaction::PREWAIT : I2cTransaction::RESULT;
    }
    t.add(rec, index);
    if (rec.error)
        t.failed_access(rec);
    if (is_write)
        write(t, masters_[bus], off, rec);
    else
        read(t, off, rec);
    Master& m = masters_[bus];
    if (!is_write && off == I2C_STATUS && !rec.error && m.unread && m.unread->issuer != issuer &&
        !(rec.value & I2C_STATUS_BUSY)) {
        // another process's write, its outcome read by this one
        I2cTransaction& w = *m.unread;
        w.polled = true;
        w.last_busy = false;
        w.status = rec.value;
        w.outcome_pid = rec.pid;
        w.phase = I2cTransaction::RESULT;
        close(w);
    }
}

void I2cAnalyser::write(I2cTransaction& t, Master& m, uint32_t off, const TraceRecord& rec)
{
    const bool ok = rec.error == 0;
    m.writers.touch(t.issuer, rec);
    if (!t.wrote) {
        t.wrote = true;
        m.writers.add(&t);
    }
    switch (off) {
    case I2C_REG_ADDR:
    case I2C_WR_DATA:
        if (ok && off == I2C_REG_ADDR) {
            m.reg_addr = rec.value;
            t.setup_reg = true;
            t.setup_reg_value = rec.value;
        } else if (ok) {
            m.wr_data = rec.value;
            t.setup_data = true;
        }
        if (t.phase == I2cTransaction::PREWAIT)
            t.phase = I2cTransaction::SETUP;
        break;
    case I2C_CONTROL:
        t.commanded = true;
        t.cmd = rec.value;
        t.cmd_failed = !ok;
        t.dev_reg = m.reg_addr;
        t.dev_data = m.wr_data;
        t.phase = I2cTransaction::COMMANDED;
        if (!ok) {
            close(t);  // nothing started on the bus
        } else if (t.is_write() || t.issuer == PROC_ISSUER) {
            // on the bus now with what it was given: nothing written later spoils it
            m.writers.forget(&t);
            if (t.is_write())
                m.unread = &t;
        }
        break;
    default: t.note(fmt::format("{} written 0x{:x}", reg_label(rec.reg), rec.value)); break;
    }
}

void I2cAnalyser::read(I2cTransaction& t, uint32_t off, const TraceRecord& rec)
{
    const bool ok = rec.error == 0;
    switch (off) {
    case I2C_STATUS:
        if (!ok)
            break;
        if (t.phase == I2cTransaction::PREWAIT || t.phase == I2cTransaction::SETUP) {
            t.last_busy = (rec.value & I2C_STATUS_BUSY) != 0;
            if (t.last_busy)
                t.prewait_busy++;
        } else if (t.phase == I2cTransaction::COMMANDED) {
            t.polled = true;
            t.last_busy = (rec.value & I2C_STATUS_BUSY) != 0;
            if (t.last_busy) {
                t.busy_polls++;
            } else {
                t.status = rec.value;
                t.phase = I2cTransaction::RESULT;
                // A write is over when busy ends; a read once its data is collected.
                if (!t.is_read())
                    close(t);
            }
        }
        break;
    case I2C_RD_DATA:
        if (ok) {
            t.have_rd = true;
            t.rd = rec.value;
        }
        break;
    case I2C_CONTROL:
        if (ok) {
            t.have_ctl = true;
            t.ctl = rec.value;
        }
        if (t.phase == I2cTransaction::RESULT && t.commanded)
            close(t);
        break;
    default: break;
    }
}

std::string i2c_transaction_text(I2cTransaction& t)
{
    std::string text;
    if (!t.commanded || t.cmd_failed) {
        if (t.setup_reg || t.setup_data || t.cmd_failed) {
            text = t.cmd_failed ? "command not written" : "no command";
            if (t.setup_reg)
                text += fmt::format(", reg 0x{:02x} set", t.setup_reg_value);
        } else {
            text = "wait for idle";
        }
        if (t.prewait_busy)
            text += busy_polls(t.prewait_busy);
        if (t.last_busy) {
            text += ", never idle";
            t.failed = true;
        }
        text += t.proc_pids();
        return text;
    }
    const uint32_t dev = t.dev();
    if (t.is_read())
        text = fmt::format("read dev 0x{:02x} reg 0x{:02x}", dev, t.dev_reg & 0xFF);
    else if (t.is_write())
        text = fmt::format("write dev 0x{:02x} reg 0x{:02x} data 0x{:04x}", dev, t.dev_reg & 0xFF, t.dev_data & 0xFFFF);
    else
        text = fmt::format("command 0x{:x} (unknown) dev 0x{:02x} reg 0x{:02x}", t.cmd, dev, t.dev_reg & 0xFF);
    if (t.is_read() && t.have_rd) {
        text += fmt::format(" -> 0x{:0{}x}", t.data(), t.width() / 4);
        text += t.have_ctl ? fmt::format(" ({} bit)", t.width()) : std::string(" (width not read)");
    }
    if (!t.polled) {
        text += ", result not read";
    } else if (t.last_busy) {
        text += fmt::format(", still busy after {} polls", t.busy_polls);
        t.failed = true;
    } else if (t.status & I2C_STATUS_ERROR) {
        text += fmt::format(", no ack (error bit, status 0x{:08x})", t.status);
        t.failed = true;
    } else if (!t.outcome_pid) {
        text += ", ack";
        if (t.is_read() && !t.have_rd)
            text += ", data not read";
    }
    if (t.outcome_pid)
        text += fmt::format(", outcome read by pid {}", t.outcome_pid);
    if (t.busy_polls && !t.last_busy)
        text += busy_polls(t.busy_polls);
    if (t.prewait_busy)
        text += busy_polls(t.prewait_busy) + " waiting for idle";
    if (t.bus == BUS_ISB) {
        std::string meaning = isb_meaning(t);
        if (!meaning.empty())
            text += " [" + meaning + "]";
    }
    text += t.proc_pids();
    return text;
}

}  // namespace qxsim
