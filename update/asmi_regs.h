// Serial-flash (ASMI) controller in the FPGA and the layout of the EPCQ-L1024
// configuration flash behind it.
#pragma once

#include <cstdint>

// Controller registers (FPGA register offsets).
static const uint32_t ASMI_CMD           = 0x1000;  // write a command value to start it
static const uint32_t ASMI_STATUS        = 0x1004;  // status word; write an error bit to clear it
static const uint32_t ASMI_ADDR          = 0x1008;  // flash address of the next erase/write/read
static const uint32_t ASMI_LENGTH        = 0x100C;  // byte count of the next write/read
static const uint32_t ASMI_PROTECT_CODE  = 0x1010;  // protection bits for ASMI_PROTECT
static const uint32_t ASMI_WR_FIFO       = 0x1014;  // push one 32-bit word
static const uint32_t ASMI_WR_FIFO_LEVEL = 0x1018;  // words waiting in the write FIFO
static const uint32_t ASMI_RD_FIFO       = 0x101C;  // pop one 32-bit word
static const uint32_t ASMI_RD_FIFO_LEVEL = 0x1020;  // words waiting in the read FIFO
static const uint32_t ASMI_RECONFIG      = 0x1040;  // reconfiguration of the FPGA from flash

// Command values for ASMI_CMD.
static const uint32_t ASMI_4BYTE_MODE   = 0x001;
static const uint32_t ASMI_READ_ID      = 0x002;
static const uint32_t ASMI_WRITE        = 0x008;
static const uint32_t ASMI_READ         = 0x010;
static const uint32_t ASMI_PROTECT      = 0x020;
static const uint32_t ASMI_SECTOR_ERASE = 0x040;
static const uint32_t ASMI_IMAGE_DATA   = 0x200;   // ORed into WRITE/READ for image blocks
static const uint32_t ASMI_CLEAR        = 0x1000;  // pulsed (then 0) after a verification pass

// Status bits of ASMI_STATUS; the device ID sits in bits 15..8 after ASMI_READ_ID.
static const uint32_t ASMI_STATUS_BUSY      = 0x1;
static const uint32_t ASMI_STATUS_ERASE_ERR = 0x2;
static const uint32_t ASMI_STATUS_WRITE_ERR = 0x4;
static const unsigned ASMI_STATUS_ID_SHIFT  = 8;
static const uint32_t ASMI_STATUS_ID_MASK   = 0xFF;

// Completion masks: the error bits are part of the wait, so an error makes the
// wait run out and the caller reads the status itself.
static const uint32_t ASMI_WAIT_DONE  = ASMI_STATUS_BUSY;
static const uint32_t ASMI_WAIT_WRITE = ASMI_STATUS_BUSY | ASMI_STATUS_WRITE_ERR;
static const uint32_t ASMI_WAIT_ERASE = ASMI_STATUS_BUSY | ASMI_STATUS_ERASE_ERR;

// Reconfiguration register value.
static const uint32_t ASMI_RECONFIG_START = 0x10;

// Flash layout (EPCQ-L1024: 2048 sectors of 64 KiB).
static const uint32_t SECTOR_SIZE        = 0x10000;
static const uint32_t APP_IMAGE_BASE     = 0x2000000;  // below: factory image, always protected
static const uint32_t OFFSET_SECTOR      = 0x7FF0000;  // last sector, holds the offset record
static const uint32_t OFFSET_RECORD_ADDR = 0x7FFFFF0;
static const uint32_t APP_REGION_SIZE    = OFFSET_SECTOR - APP_IMAGE_BASE;

// Protect codes, in the EPCQ-L status register layout (BP3 bit 6, TB bit 5,
// BP2..BP0 bits 4..2).
static const uint32_t PROTECT_UNLOCK = 0x68;  // lowest 512 sectors protected, the rest open
static const uint32_t PROTECT_LOCK   = 0x5C;  // whole flash protected

// Device IDs read back after ASMI_READ_ID.
static const uint8_t EPCQL256_ID  = 0x19;
static const uint8_t EPCQL512_ID  = 0x20;
static const uint8_t EPCQL1024_ID = 0x21;

// Polling: a status wait takes at most 100 readings, 10 us apart; a sector
// erase waits at most 50 cycles of 100 ms.
static const int  ASMI_POLL_LIMIT    = 100;
static const long ASMI_POLL_SLEEP_NS = 10 * 1000L;
static const int  ASMI_ERASE_CYCLES  = 50;
static const long ASMI_ERASE_SLEEP_NS = 100 * 1000 * 1000L;
