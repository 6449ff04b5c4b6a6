// The trace's accesses to the FPGA's I2C masters as I2C transactions, one
// state machine per issuer and master: the status polls waiting for idle,
// I2C_REG_ADDR / I2C_WR_DATA, the command word, the polls until busy
// clears, and for a read I2C_RD_DATA and I2C_CONTROL. The device, register
// and data are what the master held when the command was written, so a
// register set by another process shows as it reached the bus. A write is
// mixed when another issuer wrote the master's registers between its first
// write and its command (its bus transaction starts there), a read up to
// its result. A write's outcome is the next status read with busy clear,
// also when another process makes it (dac reads it in its next write's
// wait; biasset never does).
#pragma once

#include "qxsim/model/fpga/register_map.h"
#include "qxsim/trace/decode_group.h"

#include <array>

namespace qxsim {

struct I2cTransaction : Group {
    enum Phase { PREWAIT, SETUP, COMMANDED, RESULT } phase = PREWAIT;
    Bus bus = BUS_MAIN;
    uint32_t prewait_busy = 0;  // busy polls before the command
    uint32_t busy_polls = 0;    // and after it
    bool polled = false;        // a status read after the command
    bool last_busy = false;
    uint32_t status = 0;  // the status that ended busy
    bool commanded = false;
    bool wrote = false;  // has written a register: others' writes now mix it
    bool cmd_failed = false;
    uint32_t cmd = 0;
    uint32_t dev_reg = 0, dev_data = 0;  // the master's registers at the command
    bool setup_reg = false, setup_data = false;
    uint32_t setup_reg_value = 0;
    bool have_rd = false, have_ctl = false;
    uint32_t rd = 0, ctl = 0;
    int32_t outcome_pid = 0;  // a write's outcome was read by this other process

    // A read or a write as the master takes them: a device address beyond
    // 8 bits makes a command it refuses, as an unknown one.
    bool is_read() const { return field_value(cmd, I2C_CONTROL_OP) == I2C_CMD_READ && dev() <= 0xFF; }
    bool is_write() const { return field_value(cmd, I2C_CONTROL_OP) == I2C_CMD_WRITE && dev() <= 0xFF; }
    uint32_t dev() const { return field_value(cmd, I2C_CONTROL_DEV); }
    // The data read and its width in bits, as the width flags of I2C_CONTROL
    // tell (32 when they were not read).
    unsigned width() const;
    uint32_t data() const;
    bool acknowledged() const { return polled && !last_busy && !(status & I2C_STATUS_ERROR); }
};

class I2cAnalyser {
public:
    using Sink = GroupSink<I2cTransaction>;

    explicit I2cAnalyser(Sink& sink) : sink_(sink) {}

    // The master whose registers hold `reg`, or -1.
    static int master_of(uint32_t reg)
    {
        if (reg < I2C_MAIN_BASE || reg > I2C_IOB_BASE + I2C_RD_DATA || (reg & 3))
            return -1;
        return master_in_range(reg);
    }

    // An access to the registers of `bus`'s master; `index` numbers the record.
    void access(int64_t issuer, Bus bus, const TraceRecord& rec, size_t index);
    // A power cut before `rec`: the issuer's transaction on `bus` is
    // finished first when `rec` would have begun the next one.
    void cut_before(int64_t issuer, Bus bus, const TraceRecord& rec);
    // The issuer's open transactions end as they stand; with `why`, failed
    // for that reason.
    void close_issuer(int64_t issuer, const char* why);
    void close_all();
    // What a master's registers held before the first record.
    void preset(Bus bus, uint32_t reg_addr, uint32_t wr_data);

private:
    struct Master {
        uint32_t reg_addr = 0, wr_data = 0;
        Writers writers;
        // The write transaction last started, while its outcome is unread:
        // the next status read shows it, whoever makes it.
        I2cTransaction* unread = nullptr;
    };
    using Transactions = std::array<I2cTransaction, BUS_COUNT>;

    static int master_in_range(uint32_t reg);
    static bool begins_next(const I2cTransaction& t, uint32_t off, const TraceRecord& rec);
    void close(I2cTransaction& t);
    void write(I2cTransaction& t, Master& m, uint32_t off, const TraceRecord& rec);
    void read(I2cTransaction& t, uint32_t off, const TraceRecord& rec);

    Sink& sink_;
    Master masters_[BUS_COUNT];
    ByIssuer<Transactions> issuers_;
};

// The decoded text of a finished transaction, with what the device behind
// makes of it; marks the transaction failed where the text says so.
std::string i2c_transaction_text(I2cTransaction& t);

}  // namespace qxsim
