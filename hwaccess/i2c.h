// I2C transactions through the FPGA's I2C masters, built from single
// register accesses (fpga_io.h).
//
// The three tools that carry this layer wait for the master with different
// poll limits and report differently; each calls i2c_setup with its own form
// and settings before its first transaction. The settings are process-wide.
//
// i2c_read holds the master's lock (tool_lock.h) for the whole transaction;
// dac's i2c_write and i2c_write_checked take it at the first write and keep
// it until i2c_release_master, so that the wait before each write reads the
// outcome of the write before it. When another process holds the lock past
// the bounded wait they print "<function>: I2C master held by another
// process." and fail without touching the master, also under the force
// flag; a lock file that is refused fails them with the lock's own line.
//
// The idle wait before a transaction sees how the master's last transaction
// ended. Unless that was this run's own write, an error bit there belongs
// to someone else's transaction: it is forgiven (reported with the verbose
// flag) and the transaction goes on.
#pragma once

#include <cstdint>

#include "hwaccess/i2c_regs.h"

enum i2c_tool {
    I2C_TOOL_UPDATE,
    I2C_TOOL_REGDUMP,
    I2C_TOOL_DAC,
};

// `base` selects the master block and `dev` the device that regdump's
// i2c_read addresses; update and dac use the ISB master.
void i2c_setup(i2c_tool tool, bool verbose, bool force, uint32_t base = I2C_ISB_BASE,
               uint8_t dev = 0);

// Poll the master until it is idle. With a destination (room for four
// bytes), collect the finished read's data there, most significant byte
// first. False when the master stayed busy, its status could not be read,
// it flagged an error, or the data could not be read back.
bool i2c_wait_idle(uint8_t* dest);

// update: one byte from register `reg` of device `dev` on the ISB master.
bool i2c_read(uint8_t dev, uint8_t reg, uint8_t* dest, int unused);

// regdump: register `reg` of the selected device through the selected
// master; one, two or four bytes are stored at dest (room for four).
bool i2c_read(uint8_t reg, uint8_t* dest);

// dac: start a write of `data` to register `reg` of device `dev`, then pause
// 10 ms. Does not wait for the write to finish. With the force flag the
// write goes out although the master stayed busy or flagged an error, and
// the result is false all the same.
bool i2c_write(uint8_t dev, uint8_t reg, uint16_t data);

// dac: i2c_write, then wait for that write to finish, in one hold of the
// master. The force flag does not apply to that last wait: a write that did
// not finish or was not acknowledged fails.
bool i2c_write_checked(uint8_t dev, uint8_t reg, uint16_t data);

// dac: let the master go after the last write's check.
void i2c_release_master();

// dac: the I2C-enabled bit of FPGA_STATUS.
bool i2c_bus_enabled();
