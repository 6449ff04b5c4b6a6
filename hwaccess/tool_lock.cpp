#include "hwaccess/tool_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "hwaccess/i2c_regs.h"
#include "hwaccess/sleep_ms.h"

namespace {

const char FUNC_TAKE[] = "bool tool_lock_take(tool_lock_id, bool)";

// Debian keeps lock files in /run/lock (a tmpfs, world-writable, sticky).
const char* const tool_lock_paths[TOOL_LOCK_COUNT] = {
    /* TOOL_LOCK_I2C_MAIN */ "/run/lock/qx-i2c-main.lock",
    /* TOOL_LOCK_I2C_ISB  */ "/run/lock/qx-i2c-isb.lock",
    /* TOOL_LOCK_I2C_IOB  */ "/run/lock/qx-i2c-iob.lock",
    /* TOOL_LOCK_FLASH    */ "/run/lock/qx-flash.lock",
};

// Held by the process next in line for the lock while it waits.
const char* const tool_lock_gate_paths[TOOL_LOCK_COUNT] = {
    /* TOOL_LOCK_I2C_MAIN */ "/run/lock/qx-i2c-main.gate",
    /* TOOL_LOCK_I2C_ISB  */ "/run/lock/qx-i2c-isb.gate",
    /* TOOL_LOCK_I2C_IOB  */ "/run/lock/qx-i2c-iob.gate",
    /* TOOL_LOCK_FLASH    */ "/run/lock/qx-flash.gate",
};

enum tool_lock_file_state {
    LOCK_FILE_UNOPENED,
    LOCK_FILE_OPEN,
    LOCK_FILE_UNAVAILABLE,  // cannot be created: the run goes on unlocked
};

struct tool_lock_entry {
    tool_lock_file_state state = LOCK_FILE_UNOPENED;
    int fd = -1;
    int gate_fd = -1;  // opened at the first wait; -1 without a gate (waiters then only poll the lock)
    bool gate_tried = false;
    bool held = false;
};

tool_lock_entry tool_locks[TOOL_LOCK_COUNT];

// The warning about running unlocked is given once per run.
bool tool_lock_warned = false;

long tool_lock_now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void tool_lock_unavailable(tool_lock_entry& lock, const char* path, const char* what, int err)
{
    lock.state = LOCK_FILE_UNAVAILABLE;
    if (tool_lock_warned)
        return;
    tool_lock_warned = true;
    fprintf(stderr, "%s: %s %s: %s; going on without locking.\n", FUNC_TAKE, what, path, strerror(err));
}

// Read-only is enough for flock, and lets every user lock a file another
// user created. A file of another user in the sticky /run/lock may refuse
// O_CREAT (fs.protected_regular), so an existing file is opened without it.
int tool_lock_open_file(const char* path)
{
    int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES)
        fd = open(path, O_RDONLY | O_CLOEXEC);
    return fd;
}

bool tool_lock_open(tool_lock_id id)
{
    tool_lock_entry& lock = tool_locks[id];
    if (lock.state == LOCK_FILE_OPEN)
        return true;
    if (lock.state == LOCK_FILE_UNAVAILABLE)
        return false;
    int fd = tool_lock_open_file(tool_lock_paths[id]);
    if (fd < 0) {
        tool_lock_unavailable(lock, tool_lock_paths[id], "cannot create", errno);
        return false;
    }
    lock.fd = fd;
    lock.state = LOCK_FILE_OPEN;
    return true;
}

// A gate that cannot be opened only costs the waiters their place in line.
void tool_lock_open_gate(tool_lock_id id)
{
    tool_lock_entry& lock = tool_locks[id];
    if (lock.gate_tried)
        return;
    lock.gate_tried = true;
    lock.gate_fd = tool_lock_open_file(tool_lock_gate_paths[id]);
}

// One try at the lock: 1 taken, 0 held elsewhere, -1 flock refused (errno).
int tool_lock_try(int fd)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 1;
    return errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

}  // namespace

tool_lock_id tool_lock_for_master(uint32_t base)
{
    if (base == I2C_MAIN_BASE)
        return TOOL_LOCK_I2C_MAIN;
    if (base == I2C_IOB_BASE)
        return TOOL_LOCK_I2C_IOB;
    return TOOL_LOCK_I2C_ISB;
}

bool tool_lock_take(tool_lock_id id, bool wait)
{
    tool_lock_entry& lock = tool_locks[id];
    if (!tool_lock_open(id))
        return true;
    if (wait)
        tool_lock_open_gate(id);

    // Polled rather than blocking, so that the wait stays bounded. Only the
    // process holding the gate tries the lock; the others wait for the gate.
    const long give_up_ms = tool_lock_now_ms() + TOOL_LOCK_WAIT_MS;
    bool gate_held = false;
    for (;;) {
        if (wait && !gate_held && lock.gate_fd >= 0) {
            int gate = tool_lock_try(lock.gate_fd);
            if (gate < 0) {
                close(lock.gate_fd);  // no flock on the gate's file: poll the lock alone
                lock.gate_fd = -1;
            }
            gate_held = gate == 1;
        }
        const bool in_line = !wait || gate_held || lock.gate_fd < 0;
        const int taken = in_line ? tool_lock_try(lock.fd) : 0;
        const int err = errno;
        if (taken != 0 || !wait || tool_lock_now_ms() >= give_up_ms) {
            if (gate_held)
                flock(lock.gate_fd, LOCK_UN);
            if (taken < 0) {
                // A file system without flock support: as good as no lock file.
                tool_lock_unavailable(lock, tool_lock_paths[id], "cannot lock", err);
                return true;
            }
            lock.held = taken == 1;
            return lock.held;
        }
        sleep_ms(TOOL_LOCK_POLL_MS);
    }
}

void tool_lock_release(tool_lock_id id)
{
    tool_lock_entry& lock = tool_locks[id];
    if (!lock.held)
        return;
    flock(lock.fd, LOCK_UN);
    lock.held = false;
}
