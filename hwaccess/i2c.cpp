#include "hwaccess/i2c.h"

#include "hwaccess/fpga_io.h"
#include "hwaccess/i2c_regs.h"
#include "hwaccess/sleep_ms.h"
#include "hwaccess/tool_lock.h"

namespace {

// When a line of the idle wait is printed.
enum i2c_report {
    REPORT_NEVER,
    REPORT_ALWAYS,
    REPORT_VERBOSE,  // only with the verbose flag
    REPORT_FORCED,   // only with the force flag
};

// How each tool waits for its master: how often and how long it polls, and
// which of the wait's lines it prints. The wait itself always fails on a
// busy master, an unreadable status or the error bit; whether the tool goes
// on anyway under its force flag is decided by the caller.
struct i2c_wait_rule {
    int poll_limit;        // status reads at most
    long poll_interval_ms; // sleep after each busy status
    i2c_report timeout_when_busy;
    i2c_report timeout_when_unreadable;
    i2c_report error_bit;
};

const i2c_wait_rule wait_rules[] = {
    /* I2C_TOOL_UPDATE  */ {100, 1, REPORT_NEVER, REPORT_ALWAYS, REPORT_ALWAYS},
    /* I2C_TOOL_REGDUMP */ {10, 2, REPORT_VERBOSE, REPORT_VERBOSE, REPORT_VERBOSE},
    /* I2C_TOOL_DAC     */ {100, 1, REPORT_FORCED, REPORT_ALWAYS, REPORT_ALWAYS},
};
static_assert(sizeof(wait_rules) / sizeof(wait_rules[0]) == I2C_TOOL_DAC + 1,
              "one wait rule per tool");

struct i2c_settings {
    i2c_tool tool;
    bool verbose;
    bool force;
    uint32_t base;  // master block
    uint8_t dev;    // device of regdump's reads
};

i2c_settings settings = {I2C_TOOL_UPDATE, false, false, I2C_ISB_BASE, 0};

// A write of this run was started and no wait has read its outcome yet: the
// next idle wait's error bit is this run's own.
bool outcome_pending = false;

// dac keeps its master from its first transaction to i2c_release_master.
bool master_held_for_run = false;

const char FUNC_WAIT_IDLE[] = "i2c_wait_idle";
const char FUNC_READ[] = "i2c_read";
const char FUNC_WRITE[] = "i2c_write";
const char FUNC_UPDATE_READ[] = "bool i2c_read(uint8_t, uint8_t, uint8_t*, int)";
const char FUNC_REGDUMP_READ[] = "bool i2c_read(uint8_t, uint8_t*)";
const char FUNC_DAC_WRITE[] = "bool i2c_write(uint8_t, uint8_t, uint16_t)";
const char FUNC_BUS_ENABLED[] = "bool i2c_bus_enabled()";

// `forced`: whether the force flag applies to this wait.
bool report_wanted(i2c_report rule, bool forced)
{
    switch (rule) {
    case REPORT_ALWAYS:
        return true;
    case REPORT_VERBOSE:
        return settings.verbose;
    case REPORT_FORCED:
        return forced;
    case REPORT_NEVER:
        break;
    }
    return false;
}

void log_never_idle(const char* func)
{
    console_log(LOG_ERR, "%s: I2C never becomes idle.", func);
}

void log_write_error(const char* func)
{
    console_log(LOG_ERR, "%s: FPGA write error.", func);
}

void log_transfer(const char* func, uint8_t reg, unsigned data)
{
    console_log(LOG_DEBUG, "%s: reg_addr=0x%02X reg_data=0x%02X", func, reg, data);
}

// Every process that uses the master takes its lock for a whole
// transaction, from the idle wait before it to its last access, so that no
// other process's register writes come between. A master held elsewhere
// for longer than the bounded wait fails the transaction as a stuck one
// does, with its own line; a refused lock has said why already.
//
// dac holds the lock for its whole run: a write's acknowledgement is read
// by the idle wait before the next write, and another process's
// transaction in between would read it first and leave its own in its place.
bool master_take(const char* func)
{
    if (master_held_for_run)
        return true;
    switch (tool_lock_take(tool_lock_for_master(settings.base), true)) {
    case TOOL_LOCK_TAKEN:
        master_held_for_run = settings.tool == I2C_TOOL_DAC;
        return true;
    case TOOL_LOCK_HELD:
        console_log(LOG_ERR, "%s: I2C master held by another process.", func);
        return false;
    case TOOL_LOCK_REFUSED:
        break;
    }
    return false;
}

void master_give()
{
    if (!master_held_for_run)
        tool_lock_release(tool_lock_for_master(settings.base));
}

// Register address, then the command word that starts the read.
bool start_read(uint8_t dev, uint8_t reg)
{
    return fpga_write_reg(settings.base + I2C_REG_ADDR, reg) &&
           fpga_write_reg(settings.base + I2C_CONTROL, i2c_read_command(dev));
}

// The master right-aligns the data; hand it on most significant byte first.
void store_data(uint32_t data, uint32_t control, uint8_t* dest)
{
    if (control & I2C_WIDTH_32) {
        dest[0] = uint8_t(data >> 24);
        dest[1] = uint8_t(data >> 16);
        dest[2] = uint8_t(data >> 8);
        dest[3] = uint8_t(data);
    } else if (control & I2C_WIDTH_16) {
        dest[0] = uint8_t(data >> 8);
        dest[1] = uint8_t(data);
    } else {
        dest[0] = uint8_t(data);
    }
}

}  // namespace

void i2c_setup(i2c_tool tool, bool verbose, bool force, uint32_t base, uint8_t dev)
{
    settings = {tool, verbose, force, base, dev};
}

namespace {

bool wait_idle(uint8_t* dest, bool forced)
{
    const i2c_wait_rule& rule = wait_rules[settings.tool];
    // The status shows how the last transaction on the master ended. It is
    // this run's own outcome only when this wait collects a read's data or
    // follows a write of this run; any other error bit was left by a
    // transaction of another run or another process.
    const bool own_outcome = dest != nullptr || outcome_pending;
    outcome_pending = false;

    // Pre-loaded busy: a status that cannot be read counts as busy.
    uint32_t status = I2C_STATUS_BUSY;
    bool unreadable = false;
    for (int poll = 0; poll < rule.poll_limit; poll++) {
        if (!fpga_read_reg(settings.base + I2C_STATUS, &status)) {
            unreadable = true;
            break;
        }
        if (!(status & I2C_STATUS_BUSY))
            break;
        sleep_ms(rule.poll_interval_ms);
    }

    if (status & I2C_STATUS_BUSY) {
        if (report_wanted(unreadable ? rule.timeout_when_unreadable : rule.timeout_when_busy, forced))
            console_log(LOG_DEBUG, "%s: timeout: 0x%08x", FUNC_WAIT_IDLE, status);
        return false;
    }

    if ((status & I2C_STATUS_ERROR) && !own_outcome) {
        if (settings.verbose)
            console_log(LOG_DEBUG, "%s: error bit left by an earlier transaction: 0x%08x", FUNC_WAIT_IDLE,
                        status);
        return true;
    }

    // The device did not acknowledge: whatever the data registers hold is
    // not this transaction's answer.
    if (status & I2C_STATUS_ERROR) {
        if (report_wanted(rule.error_bit, forced))
            console_log(LOG_DEBUG, "%s: error bit set: 0x%08x", FUNC_WAIT_IDLE, status);
        return false;
    }

    if (!dest)
        return true;

    uint32_t data = 0;
    uint32_t control = 0;
    if (!fpga_read_reg(settings.base + I2C_RD_DATA, &data) ||
        !fpga_read_reg(settings.base + I2C_CONTROL, &control)) {
        console_log(LOG_ERR, "Unable to read the master control register!");
        return false;
    }
    store_data(data, control, dest);
    return true;
}

bool update_read(uint8_t dev, uint8_t reg, uint8_t* dest)
{
    if (!i2c_wait_idle(nullptr)) {
        log_never_idle(FUNC_UPDATE_READ);
        return false;
    }
    if (!start_read(dev, reg)) {
        log_write_error(FUNC_UPDATE_READ);
        return false;
    }

    // Only the first (most significant) byte of the answer is wanted; the
    // caller's byte keeps its contents when the read fails.
    uint8_t answer[4] = {0, 0, 0, 0};
    bool ok = i2c_wait_idle(answer);
    if (ok)
        dest[0] = answer[0];
    if (settings.verbose)
        log_transfer(FUNC_READ, reg, dest[0]);
    return ok;
}

bool regdump_read(uint8_t reg, uint8_t* dest)
{
    // With the force flag a master that never became idle does not stop the
    // read.
    if (!i2c_wait_idle(nullptr) && !settings.force) {
        log_never_idle(FUNC_REGDUMP_READ);
        return false;
    }
    if (!start_read(settings.dev, reg)) {
        log_write_error(FUNC_REGDUMP_READ);
        return false;
    }

    bool ok = i2c_wait_idle(dest);
    if (settings.verbose)
        console_log(LOG_DEBUG, "[%02X] = 0x%02X%02X", reg, dest[0], dest[1]);
    return ok;
}

// The write itself, under the master's lock. *sent tells whether the
// command word went out. False also when the force flag carried the write
// past a master that was not idle or flagged an error.
bool dac_write(uint8_t dev, uint8_t reg, uint16_t data, bool* sent)
{
    *sent = false;
    bool idle = i2c_wait_idle(nullptr);
    if (!idle && !settings.force) {
        log_never_idle(FUNC_DAC_WRITE);
        return false;
    }
    if (!fpga_write_reg(settings.base + I2C_WR_DATA, data) ||
        !fpga_write_reg(settings.base + I2C_REG_ADDR, reg)) {
        console_log(LOG_ERR, "%s: Unable to write data word!", FUNC_DAC_WRITE);
        return false;
    }

    // A failed command write has printed its error line already.
    bool ok = fpga_write_reg(settings.base + I2C_CONTROL, i2c_write_command(dev));
    *sent = ok;
    outcome_pending = ok;
    sleep_ms(I2C_WRITE_PAUSE_MS);
    return ok && idle;
}

}  // namespace

bool i2c_wait_idle(uint8_t* dest)
{
    return wait_idle(dest, settings.force);
}

bool i2c_read(uint8_t dev, uint8_t reg, uint8_t* dest, int unused)
{
    (void)unused;

    if (!master_take(FUNC_UPDATE_READ))
        return false;
    bool ok = update_read(dev, reg, dest);
    master_give();
    return ok;
}

bool i2c_read(uint8_t reg, uint8_t* dest)
{
    if (!master_take(FUNC_REGDUMP_READ))
        return false;
    bool ok = regdump_read(reg, dest);
    master_give();
    return ok;
}

// One DAC write under the master's lock; with `check` the lock is held on
// until the write has finished on the bus. The force flag carried the write
// past a busy master; it does not let a write that never finished or was
// not acknowledged pass, and a master still stuck has been reported by the
// write's own wait.
static bool i2c_write_locked(uint8_t dev, uint8_t reg, uint16_t data, bool check)
{
    if (settings.verbose)
        log_transfer(FUNC_WRITE, reg, data);

    if (!master_take(FUNC_DAC_WRITE))
        return false;
    bool sent = false;
    bool ok = dac_write(dev, reg, data, &sent);
    if (check && sent)
        ok = wait_idle(nullptr, false) && ok;
    master_give();
    return ok;
}

bool i2c_write(uint8_t dev, uint8_t reg, uint16_t data)
{
    return i2c_write_locked(dev, reg, data, false);
}

bool i2c_write_checked(uint8_t dev, uint8_t reg, uint16_t data)
{
    return i2c_write_locked(dev, reg, data, true);
}

void i2c_release_master()
{
    if (!master_held_for_run)
        return;
    master_held_for_run = false;
    master_give();
}

bool i2c_bus_enabled()
{
    uint32_t status = 0;
    if (!fpga_read_reg(FPGA_STATUS, &status)) {
        console_log(LOG_ERR, "%s: Unable to read the status register!", FUNC_BUS_ENABLED);
        return false;
    }
    return (status & FPGA_STATUS_I2C_ENABLED) != 0;
}
