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

bool asmi_write_protect(uint32_t code);

// Erase `count` 64 KiB sectors upward from `address`, with a spinner.
bool asmi_sector_erase(uint32_t address, uint32_t count);
