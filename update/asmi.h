// Serial-flash controller operations: status wait, identification,
// protection and sector erase.
#pragma once

#include <cstdint>

// Wait until ASMI_STATUS shows none of the bits of `mask`, then store a fresh
// reading in *status. False on time-out or a failed register read.
bool fpga_readwait(uint32_t mask, uint32_t* status);

// Switch the flash to 4-byte addressing and read its device ID; *status gets
// the status word with the ID in bits 15..8.
bool asmi_identify(uint32_t* status);

// Print the device ID lines; true only for the EPCQ-L1024.
bool asmi_check_id(uint32_t status);

// A quiet run's check: false, with the device and "not supported." lines,
// for a part known to be too small for the flash layout; an ID the tool
// does not know passes.
bool asmi_check_size(uint32_t status);

// Both FIFOs empty before anything is unlocked: words an interrupted run
// left behind are cleared with the clear pulse. False, with a line, when
// they stay, or when a level cannot be read.
bool asmi_fifos_empty();

// The clear pulse: ASMI_CLEAR, then 0, results not looked at. Empties both
// FIFOs and ends a read in progress.
void asmi_clear_pulse();

bool asmi_write_protect(uint32_t code);

// Erase `count` 64 KiB sectors upward from `address`, with a spinner.
bool asmi_sector_erase(uint32_t address, uint32_t count);
