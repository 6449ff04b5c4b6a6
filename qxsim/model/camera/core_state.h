// Camera-wide state that belongs to no hardware block: the lock, the
// access counters and the faults applied to every register access.
#pragma once

#include <pthread.h>
#include <cstdint>

namespace qxsim {

constexpr uint32_t STATE_MAGIC = 0x4d495358;  // "XSIM"

// Faults of the driver path. Accesses are numbered camera-wide (all
// processes, ioctl and proc lines alike) from the moment a fault is set, so
// "at 3" means the third access after `fault set`.
struct AccessFaultState {
    uint32_t armed;          // any access fault set: the hot path tests only this
    uint32_t eio_reg_on;
    uint32_t eio_reg;
    uint32_t eio_reg_dir;    // 0 any, 1 read only, 2 write only
    uint32_t eio_at_on;
    uint64_t eio_at;         // absolute access number
    uint32_t eio_from_on;
    uint64_t eio_from;
    uint32_t power_cut_on;
    uint64_t power_cut_at;
    uint32_t kill_at_on;
    int32_t kill_at_signal;  // SIGKILL: killed before the access; another: sent as it returns
    uint64_t kill_at;        // the camera stays on either way
    int32_t dev_open_errno;  // 0, ENOENT or EACCES
    int32_t proc_open_errno;
    // how often each fired
    uint64_t eio_reg_fired, eio_at_fired, eio_from_fired, power_cut_fired, kill_at_fired;
    uint64_t dev_open_fired, proc_open_fired;
};

// The one place `armed` is worked out: after every change to the faults
// that act on register accesses.
inline void update_armed(AccessFaultState& f)
{
    f.armed = f.eio_reg_on | f.eio_at_on | f.eio_from_on | f.power_cut_on | f.kill_at_on;
}

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
    uint32_t pad;
    AccessFaultState faults;
};

}  // namespace qxsim
