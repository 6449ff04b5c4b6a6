#include "qxsim/model/camera/tool_locks.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace qxsim {

namespace {

const ToolLockFile lock_files[] = {
    {"i2c-main", "qx-i2c-main.lock", "qx-i2c-main.gate", "main-board I2C master"},
    {"i2c-isb", "qx-i2c-isb.lock", "qx-i2c-isb.gate", "ISB I2C master"},
    {"i2c-iob", "qx-i2c-iob.lock", "qx-i2c-iob.gate", "IOB I2C master"},
    {"flash", "qx-flash.lock", "qx-flash.gate", "serial-flash controller"},
};

std::string process_name(pid_t pid)
{
    std::ifstream in(fmt::format("/proc/{}/comm", pid));
    std::string name;
    std::getline(in, name);
    return name.empty() ? "?" : name;
}

}  // namespace

const ToolLockFile* ToolLocks::begin()
{
    return lock_files;
}

const ToolLockFile* ToolLocks::end()
{
    return lock_files + sizeof lock_files / sizeof lock_files[0];
}

const ToolLockFile* ToolLocks::find(const std::string& name)
{
    for (const ToolLockFile* l = begin(); l != end(); ++l)
        if (name == l->name)
            return l;
    return nullptr;
}

// /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:2b:5678 0 EOF", the device
// as major:minor in hex; waiters of a blocking lock carry "->" before FLOCK.
LockHolder ToolLocks::holder(const char* file) const
{
    LockHolder h;
    struct stat st;
    if (::stat((folder() + "/" + file).c_str(), &st) != 0)
        return h;
    h.exists = true;
    std::ifstream in("/proc/locks");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string id, type, advisory, mode, id_field;
        long pid = 0;
        f >> id >> type;
        if (type == "->")
            continue;
        f >> advisory >> mode >> pid >> id_field;
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        if (type != "FLOCK" || std::sscanf(id_field.c_str(), "%x:%x:%lu", &maj, &min, &ino) != 3)
            continue;
        if (ino == st.st_ino && maj == major(st.st_dev) && min == minor(st.st_dev) && pid > 0) {
            h.pid = static_cast<pid_t>(pid);
            h.command = process_name(h.pid);
            break;
        }
    }
    return h;
}

int ToolLocks::take(const ToolLockFile& lock, bool inheritable) const
{
    int fd = ::open(path(lock).c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | (inheritable ? 0 : O_CLOEXEC),
                    0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

void ToolLocks::describe(std::ostream& out) const
{
    struct stat st;
    if (::stat(folder().c_str(), &st) != 0) {
        out << "Tool locks: no locks/ folder; the tools run without locking\n";
        return;
    }
    out << "Tool locks (locks/, /run/qx-tools on the camera):\n";
    for (const ToolLockFile* l = begin(); l != end(); ++l) {
        LockHolder h = holder(l->file);
        std::string state = !h.exists ? "not taken yet"
                            : h.pid   ? fmt::format("held by pid {} ({})", h.pid, h.command)
                                      : std::string("free");
        // The gate's holder waits for the lock and goes next.
        LockHolder next = holder(l->gate);
        if (next.pid)
            state += fmt::format(", next: pid {} ({})", next.pid, next.command);
        out << fmt::format("  {:<9} {:<24} {}\n", l->name, l->what, state);
    }
}

}  // namespace qxsim
