// Locks that keep the tools of several processes apart on shared hardware:
// one per I2C master (a transaction must not interleave with another
// process's) and one for the serial-flash controller (one update at a time).
//
// Each lock is an advisory flock(2) on a file under /run/lock. The kernel
// drops it when the holder exits or is killed, so a tool killed with SIGKILL
// never leaves a lock behind. The file stays open for the run, close-on-exec
// so that the shells a tool starts do not inherit it.
//
// A tool that waits holds the lock's gate (a second file beside it, the same
// name ending in .gate) until it has the lock. A holder that lets go and
// takes the lock again for its next transaction must pass the gate too, so
// it cannot take the lock again and again while another process waits: the
// waiter gets it within one poll of the release.
//
// When a lock file cannot be created (no /run/lock, read-only file system)
// the tool goes on without locking, and says so once on standard error.
#pragma once

#include <cstdint>

enum tool_lock_id {
    TOOL_LOCK_I2C_MAIN,
    TOOL_LOCK_I2C_ISB,
    TOOL_LOCK_I2C_IOB,
    TOOL_LOCK_FLASH,
    TOOL_LOCK_COUNT,
};

// The longest any tool waits for a lock: well above the longest honest hold
// (an I2C transaction on a master that stays busy, about 0.2 s).
const long TOOL_LOCK_WAIT_MS = 2000;
const long TOOL_LOCK_POLL_MS = 1;

// The lock of the I2C master block at `base` (I2C_MAIN_BASE, ...).
tool_lock_id tool_lock_for_master(uint32_t base);

// Take the lock, polling for at most TOOL_LOCK_WAIT_MS through its gate
// when `wait`, else trying once (the gate plays no part then). True when taken, or when the lock file is unavailable (the
// run goes on unlocked). False when another process holds it; nothing is
// printed then, the caller reports.
bool tool_lock_take(tool_lock_id id, bool wait);

// Drop the lock; the file stays open for the next take.
void tool_lock_release(tool_lock_id id);
