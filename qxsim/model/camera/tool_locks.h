// The tools' lock files. On the camera they are flock(2) locks on files in
// /run/qx-tools, one per I2C master and one for the flash controller, each
// with a gate file that a waiting tool holds while it is next in line; the
// interposer maps that folder to the camera's `locks/` folder, so cameras
// side by side never share a lock. The kernel keeps the locks: nothing here
// is part of the camera state, and looking at them adds no register traffic.
#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>

namespace qxsim {

struct ToolLockFile {
    const char* name;  // as the front end takes it: "i2c-isb"
    const char* file;  // "qx-i2c-isb.lock", as in /run/qx-tools
    const char* gate;  // "qx-i2c-isb.gate"
    const char* what;
};

// The tools' lock folder on the camera; the interposer maps it (and what
// is in it) to folder().
constexpr char TOOL_LOCK_SYSTEM_DIR[] = "/run/qx-tools";

struct LockHolder {
    bool exists = false;  // the lock file has been created
    pid_t pid = 0;        // holder, 0 when free
    std::string command;  // the holder's name from /proc/PID/comm
};

class ToolLocks {
public:
    explicit ToolLocks(std::string camera_dir) : dir_(std::move(camera_dir)) {}

    static const ToolLockFile* find(const std::string& name);
    static const ToolLockFile* begin();
    static const ToolLockFile* end();

    std::string folder() const { return dir_ + "/locks"; }
    std::string path(const ToolLockFile& lock) const { return folder() + "/" + lock.file; }

    // Who holds the lock file (or the gate file) `file` of the folder, read
    // from /proc/locks by the file's inode.
    LockHolder holder(const char* file) const;
    LockHolder holder(const ToolLockFile& lock) const { return holder(lock.file); }

    // Takes the lock without waiting, as another tool would (the file made
    // as the tools make it, mode 0600). Returns the descriptor holding it
    // (close-on-exec unless `inheritable`), or -1 with errno set
    // (EWOULDBLOCK: held elsewhere).
    int take(const ToolLockFile& lock, bool inheritable) const;

    void describe(std::ostream& out) const;

private:
    std::string dir_;
};

}  // namespace qxsim
