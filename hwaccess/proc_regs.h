// Register writes through the FPGA driver's proc file: one shell command per
// register, echoing a "w <reg> <value>" line into /proc/qx_pci/regs. Used by
// tools that never open the register device.
#pragma once

#include <cstdint>

// Verbose: print each command text on standard error before it runs.
void proc_setup(bool verbose);

// Run one register write through the shell. False when the shell could not
// be started or the command failed (the shell has printed why).
bool proc_write_reg(uint32_t reg, uint32_t value);

// One I2C write through the ISB master, blind: data word, register address,
// then the command word that starts the transaction. No idle wait, no status
// read. Stops at the first register write that fails, so a transaction is
// never started with a stale data word or register address. Holds the ISB
// master's lock (tool_lock.h) across the three writes and a 10 ms pause
// after them; when another process holds it past the bounded wait, prints
// "<function>: I2C master held by another process." on standard error and
// writes nothing.
bool proc_i2c_write(uint8_t dev_addr, uint8_t reg_addr, uint16_t data);
