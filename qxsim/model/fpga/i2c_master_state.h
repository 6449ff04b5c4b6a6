#pragma once

#include "qxsim/model/fault_table.h"

#include <cstdint>

namespace qxsim {

struct I2cMasterState {
    // registers
    uint32_t reg_addr;
    uint32_t wr_data;
    uint32_t rd_data;
    uint32_t control;        // read-back: width flags of the last read
    uint32_t error;          // I2C_STATUS_ERROR of the last transaction
    // a transaction whose busy phase is still running
    uint32_t busy_left;      // status reads that still show busy
    uint32_t pending_ok;
    uint32_t pending_data;
    uint32_t pending_control;
    uint32_t last_command;
    // counters
    uint64_t transactions, reads, writes, naks, refused, dropped, status_reads;
    FaultSlots faults;
};

}  // namespace qxsim
