#pragma once

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
    // faults
    uint32_t stuck_busy;
    uint32_t busy_reads;     // busy for K status reads per transaction
    uint32_t error_mode;     // 0 none, 1 next transaction, 2 always
    uint32_t pad;
    // counters
    uint64_t transactions, reads, writes, naks, refused, dropped, status_reads;
    uint64_t stuck_fired, busy_fired, error_fired;
};

}  // namespace qxsim
