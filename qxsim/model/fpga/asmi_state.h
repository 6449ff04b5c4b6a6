// Shared state of the FPGA's serial-flash (ASMI) controller.
#pragma once

#include "qxsim/model/fault_table.h"

#include <cstdint>

namespace qxsim {

// Both FIFOs hold one 256-byte page.
constexpr uint32_t ASMI_FIFO_WORDS = 64;

struct AsmiFifo {
    uint32_t words[ASMI_FIFO_WORDS];
    uint32_t head;
    uint32_t level;
};

struct AsmiState {
    uint32_t addr;
    uint32_t length;
    uint32_t protect_code;
    uint32_t last_cmd;
    uint32_t status;          // error bits and the ID field; busy is computed
    uint32_t busy_left;       // status reads still to show busy (the busy fault)
    AsmiFifo wr;
    AsmiFifo rd;

    uint64_t commands;
    uint64_t ignored_busy;    // commands written while busy
    uint64_t unknown_commands;
    uint64_t image_writes;    // ASMI_WRITE with the image-data flag
    uint64_t plain_writes;
    uint64_t image_reads;
    uint64_t plain_reads;
    uint64_t failed_writes;
    uint64_t failed_erases;
    uint64_t wr_overflows;    // words pushed into a full write FIFO (lost)
    uint64_t rd_overflows;    // read words that did not fit (lost)
    uint64_t rd_underflows;   // pops of an empty read FIFO
    uint64_t short_writes;    // writes that found fewer words than ASMI_LENGTH needs
    uint64_t clears;
    uint64_t reconfigs;

    FaultSlots faults;
};

}  // namespace qxsim
