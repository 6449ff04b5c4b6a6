// Locks that keep the tools of several processes apart on shared hardware:
// one per I2C master (a transaction must not interleave with another
// process's) and one for the serial-flash controller (one update at a time).
//
// Each lock is an advisory flock(2) on a file in /run/qx-tools, a folder
// that only root can write (the tools make it, mode 0755, when it is
// missing). The kernel drops a lock when its holder exits or is killed, so
// a tool killed with SIGKILL never leaves one behind. The files stay open
// for the run, close-on-exec so that the shells a tool starts do not
// inherit them.
//
// The tools run as root among files other users may have planted, so the
// folder must be a real directory owned by root (or by the tool's own user,
// where the tools run unprivileged) and writable by no one else, and every
// file is opened without following links or blocking and must be a regular
// file of the folder's owner. Anything else refuses the lock, with a line
// on standard error naming the path and what is wrong: a check never lets
// a tool go on unprotected. Only a system where the folder cannot exist at
// all (no /run, a read-only file system) runs without locking, and says so
// once.
//
// A tool that waits holds the lock's gate (a second file beside it, the same
// name ending in .gate) until it has the lock. A holder that lets go and
// takes the lock again for its next transaction must pass the gate too, so
// it cannot take the lock again and again while another process waits: the
// waiter gets it within one poll of the release.
#pragma once

#include <cstdint>

enum tool_lock_id {
    TOOL_LOCK_I2C_MAIN,
    TOOL_LOCK_I2C_ISB,
    TOOL_LOCK_I2C_IOB,
    TOOL_LOCK_FLASH,
    TOOL_LOCK_COUNT,
};

enum tool_lock_result {
    TOOL_LOCK_TAKEN,    // held now (or the system has no place for locks: the run goes on unlocked)
    TOOL_LOCK_HELD,     // another process holds it: the caller reports
    TOOL_LOCK_REFUSED,  // a lock file or its folder is not what it must be: reported here
};

static const char TOOL_LOCK_DIR[] = "/run/qx-tools";

// The longest any tool waits for a lock: well above the longest honest hold,
// a forced dac run on a master that stays busy (19 writes of 100 polls and a
// 10 ms pause each, about 2.2 s).
const long TOOL_LOCK_WAIT_MS = 5000;
const long TOOL_LOCK_POLL_MS = 1;

// The lock of the I2C master block at `base` (I2C_MAIN_BASE, ...).
tool_lock_id tool_lock_for_master(uint32_t base);

// Take the lock, polling for at most TOOL_LOCK_WAIT_MS through its gate
// when `wait`, else trying once (the gate plays no part then).
tool_lock_result tool_lock_take(tool_lock_id id, bool wait);

// Drop the lock; the file stays open for the next take.
void tool_lock_release(tool_lock_id id);
