#include "hwaccess/tool_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hwaccess/i2c_regs.h"
#include "hwaccess/sleep_ms.h"

namespace {

const char FUNC_TAKE[] = "bool tool_lock_take(tool_lock_id, bool)";

// File names in TOOL_LOCK_DIR, without the ".lock" or ".gate" ending.
const char* const tool_lock_names[TOOL_LOCK_COUNT] = {
    /* TOOL_LOCK_I2C_MAIN */ "qx-i2c-main",
    /* TOOL_LOCK_I2C_ISB  */ "qx-i2c-isb",
    /* TOOL_LOCK_I2C_IOB  */ "qx-i2c-iob",
    /* TOOL_LOCK_FLASH    */ "qx-flash",
};

enum tool_lock_file_state {
    LOCK_FILE_UNOPENED,
    LOCK_FILE_OPEN,
    LOCK_FILE_UNAVAILABLE,  // no place for lock files on this system: the run goes on unlocked
    LOCK_FILE_REFUSED,      // not what it must be: every take refuses
};

struct tool_lock_file {
    tool_lock_file_state state = LOCK_FILE_UNOPENED;
    int fd = -1;
    char refusal[160] = "";  // "<path> <what is wrong>" once refused
};

struct tool_lock_entry {
    tool_lock_file lock;
    tool_lock_file gate;  // opened at the first wait
    bool held = false;
};

tool_lock_entry tool_locks[TOOL_LOCK_COUNT];

// The folder, opened and checked once per run; its owner owns every file.
tool_lock_file tool_lock_dir;
uid_t tool_lock_owner = 0;

// The warning about running unlocked is given once per run.
bool tool_lock_warned = false;

long tool_lock_now_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void tool_lock_unavailable(tool_lock_file& file, const char* path, const char* what, int err)
{
    file.state = LOCK_FILE_UNAVAILABLE;
    if (tool_lock_warned)
        return;
    tool_lock_warned = true;
    fprintf(stderr, "%s: %s %s: %s; going on without locking.\n", FUNC_TAKE, what, path, strerror(err));
}

void tool_lock_refuse(tool_lock_file& file, const char* path, const char* problem)
{
    file.state = LOCK_FILE_REFUSED;
    snprintf(file.refusal, sizeof file.refusal, "%s %s", path, problem);
}

// What is wrong with a file that could not be opened, by the open's error;
// null for an error that says nothing about the file.
const char* tool_lock_open_problem(int err)
{
    switch (err) {
    case ELOOP:
        return "is a symbolic link";
    case EISDIR:
        return "is a directory";
    case ENOTDIR:
        return "is not a directory";
    default:
        return nullptr;
    }
}

// What is wrong with the folder or a file, as opened; null when nothing is.
// `text` holds a problem that names numbers.
const char* tool_lock_stat_problem(const struct stat& st, bool folder, char* text, size_t size)
{
    if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
        return folder ? "is not a directory" : "is not a regular file";
    if (folder && st.st_uid != 0 && st.st_uid != geteuid()) {
        if (geteuid() == 0)
            snprintf(text, size, "belongs to uid %u, not 0", unsigned(st.st_uid));
        else
            snprintf(text, size, "belongs to uid %u, not 0 or %u", unsigned(st.st_uid), unsigned(geteuid()));
        return text;
    }
    if (!folder && st.st_uid != tool_lock_owner) {
        snprintf(text, size, "belongs to uid %u, not %u", unsigned(st.st_uid), unsigned(tool_lock_owner));
        return text;
    }
    // Another user who can open a lock file can flock it and stall every
    // tool; one who can write the folder can replace its files.
    if (folder ? (st.st_mode & (S_IWGRP | S_IWOTH)) : (st.st_mode & (S_IRWXG | S_IRWXO))) {
        snprintf(text, size, "is open to other users (mode %04o)", unsigned(st.st_mode & 07777));
        return text;
    }
    return nullptr;
}

bool tool_lock_check(tool_lock_file& file, const char* path, bool folder)
{
    struct stat st;
    char text[64];
    const char* problem = nullptr;
    if (fstat(file.fd, &st) != 0) {
        snprintf(text, sizeof text, "cannot be examined: %s", strerror(errno));
        problem = text;
    } else {
        problem = tool_lock_stat_problem(st, folder, text, sizeof text);
    }
    if (problem == nullptr)
        return true;
    close(file.fd);
    file.fd = -1;
    tool_lock_refuse(file, path, problem);
    return false;
}

// An open or mkdir that failed: a system without a place for lock files
// goes on unlocked, anything else refuses.
void tool_lock_open_failed(tool_lock_file& file, const char* path, int err, const char* failed)
{
    if (err == EROFS || err == ENOENT) {
        tool_lock_unavailable(file, path, "cannot create", err);
        return;
    }
    char text[80];
    const char* problem = tool_lock_open_problem(err);
    if (problem == nullptr) {
        snprintf(text, sizeof text, "%s: %s", failed, strerror(err));
        problem = text;
    }
    tool_lock_refuse(file, path, problem);
}

// O_DIRECTORY | O_NOFOLLOW refuses a link as ENOTDIR: tell the two apart
// by opening the name itself.
bool tool_lock_is_link(const char* path)
{
    int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    bool link = fd >= 0 && fstat(fd, &st) == 0 && S_ISLNK(st.st_mode);
    if (fd >= 0)
        close(fd);
    return link;
}

// The folder, made when it is missing. Opened without following a link, so
// what is checked is what the files are opened in.
bool tool_lock_open_dir()
{
    tool_lock_file& dir = tool_lock_dir;
    if (dir.state != LOCK_FILE_UNOPENED)
        return dir.state == LOCK_FILE_OPEN;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    dir.fd = open(TOOL_LOCK_DIR, flags);
    if (dir.fd < 0 && errno == ENOENT) {
        if (mkdir(TOOL_LOCK_DIR, 0755) != 0 && errno != EEXIST) {
            tool_lock_open_failed(dir, TOOL_LOCK_DIR, errno, "cannot be created");
            return false;
        }
        dir.fd = open(TOOL_LOCK_DIR, flags);
    }
    if (dir.fd < 0 && errno == ENOTDIR && tool_lock_is_link(TOOL_LOCK_DIR))
        errno = ELOOP;
    if (dir.fd < 0) {
        tool_lock_open_failed(dir, TOOL_LOCK_DIR, errno, "cannot be opened");
        return false;
    }
    if (!tool_lock_check(dir, TOOL_LOCK_DIR, true))
        return false;
    struct stat st;
    fstat(dir.fd, &st);
    tool_lock_owner = st.st_uid;
    dir.state = LOCK_FILE_OPEN;
    return true;
}

// A lock or gate file: the folder's state when the folder is not usable.
bool tool_lock_open_file(tool_lock_file& file, tool_lock_id id, const char* ending)
{
    if (file.state != LOCK_FILE_UNOPENED)
        return file.state == LOCK_FILE_OPEN;
    if (!tool_lock_open_dir()) {
        file.state = tool_lock_dir.state;
        memcpy(file.refusal, tool_lock_dir.refusal, sizeof file.refusal);
        return false;
    }
    char name[32];
    char path[64];
    snprintf(name, sizeof name, "%s.%s", tool_lock_names[id], ending);
    snprintf(path, sizeof path, "%s/%s", TOOL_LOCK_DIR, name);
    // Read-only is enough for flock; O_NONBLOCK so that a FIFO is refused,
    // never waited on.
    file.fd = openat(tool_lock_dir.fd, name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (file.fd < 0) {
        tool_lock_open_failed(file, path, errno, "cannot be opened");
        return false;
    }
    if (!tool_lock_check(file, path, false))
        return false;
    file.state = LOCK_FILE_OPEN;
    return true;
}

// A file that is not open: TOOL_LOCK_TAKEN when the system has no place for
// locks (the run goes on unlocked), else the refusal, said for every take.
tool_lock_result tool_lock_not_open(const tool_lock_file& file)
{
    if (file.state == LOCK_FILE_UNAVAILABLE)
        return TOOL_LOCK_TAKEN;
    fprintf(stderr, "%s: %s; refused.\n", FUNC_TAKE, file.refusal);
    return TOOL_LOCK_REFUSED;
}

// One try at a lock: 1 taken, 0 held elsewhere, -1 flock refused (errno).
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

tool_lock_result tool_lock_take(tool_lock_id id, bool wait)
{
    tool_lock_entry& lock = tool_locks[id];
    if (!tool_lock_open_file(lock.lock, id, "lock"))
        return tool_lock_not_open(lock.lock);
    if (wait && !tool_lock_open_file(lock.gate, id, "gate") && lock.gate.state == LOCK_FILE_REFUSED)
        return tool_lock_not_open(lock.gate);

    // Polled rather than blocking, so that the wait stays bounded. Only the
    // process holding the gate tries the lock; the others wait for the gate.
    const long give_up_ms = tool_lock_now_ms() + TOOL_LOCK_WAIT_MS;
    bool gate_held = false;
    for (;;) {
        if (wait && !gate_held && lock.gate.state == LOCK_FILE_OPEN) {
            int gate = tool_lock_try(lock.gate.fd);
            if (gate < 0) {
                // No flock on this file system: poll the lock alone.
                close(lock.gate.fd);
                lock.gate.fd = -1;
                lock.gate.state = LOCK_FILE_UNAVAILABLE;
            }
            gate_held = gate == 1;
        }
        const bool in_line = !wait || gate_held || lock.gate.state != LOCK_FILE_OPEN;
        const int taken = in_line ? tool_lock_try(lock.lock.fd) : 0;
        const int err = errno;
        if (taken != 0 || !wait || tool_lock_now_ms() >= give_up_ms) {
            if (gate_held)
                flock(lock.gate.fd, LOCK_UN);
            if (taken < 0) {
                // A file system without flock support: as good as no lock file.
                char path[64];
                snprintf(path, sizeof path, "%s/%s.lock", TOOL_LOCK_DIR, tool_lock_names[id]);
                tool_lock_unavailable(lock.lock, path, "cannot lock", err);
                return TOOL_LOCK_TAKEN;
            }
            lock.held = taken == 1;
            return lock.held ? TOOL_LOCK_TAKEN : TOOL_LOCK_HELD;
        }
        sleep_ms(TOOL_LOCK_POLL_MS);
    }
}

void tool_lock_release(tool_lock_id id)
{
    tool_lock_entry& lock = tool_locks[id];
    if (!lock.held)
        return;
    flock(lock.lock.fd, LOCK_UN);
    lock.held = false;
}
