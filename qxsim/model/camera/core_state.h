// Camera-wide state that belongs to no hardware block: the lock, the
// access counters and the faults applied to every register access.
#pragma once

#include "qxsim/model/fault_table.h"

#include <pthread.h>
#include <cstdint>

namespace qxsim {

constexpr uint32_t STATE_MAGIC = 0x4d495358;  // "XSIM"

// Faults of the driver path (camera_faults.cpp). Accesses are counted
// camera-wide (all processes, ioctl and proc lines alike) from the moment a
// fault is set, so "at 3" means the third access after `fault set`.
struct AccessFaultState {
    uint32_t armed;  // any of them set: the hot path tests only this
    uint32_t pad;
    FaultSlots state;
};

struct CoreState {
    uint32_t magic;
    uint32_t version;
    uint32_t size;
    uint32_t trace_on;
    pthread_mutex_t lock;    // robust, process-shared
    uint64_t accesses;       // register reads + writes + proc lines
    uint64_t reads, writes, failed;
    uint64_t proc_lines, proc_refused;
    uint64_t dev_opens, proc_opens;
    uint64_t lock_recoveries;   // owner died holding the lock
    uint64_t power_cycles;      // qxsim power-cycle since creation
    uint32_t sensor_code;       // chosen at creation, restored by factory-reset
    uint32_t powered_off;       // since a power cut, until the next power cycle
    uint64_t power_cuts;        // power cuts (the power-cut fault, torn flash operations)
    uint64_t cut_access;        // the access the last cut struck (counted as `accesses`)
    uint64_t cut_ns;            // CLOCK_MONOTONIC of the last cut
    AccessFaultState faults;
};

}  // namespace qxsim
