// What an interposer of the camera's driver must know of a process's
// descriptors: which are the device node (copies made with dup follow the
// original) and which refer to the proc file (the shell opens it for a
// redirection and writes through a copy on its standard output, so the
// file's identity is kept rather than a descriptor number).
//
// Both are plain zero-initialised globals in the interposers: the C library
// may call in before any constructor has run.
#pragma once

#include <atomic>

#include <sys/stat.h>
#include <sys/types.h>

namespace qxsim::interpose {

class DeviceDescriptors {
public:
    static constexpr int MAX_FD = 1 << 16;

    static bool fits(int fd) { return fd >= 0 && fd < MAX_FD; }

    // On the register access path: one bounds check and one load.
    bool has(int fd) const { return fits(fd) && marks_[fd].load(std::memory_order_relaxed); }

    void mark(int fd)
    {
        if (fits(fd))
            marks_[fd].store(true, std::memory_order_relaxed);
    }

    // Unmarks `fd`; true when it was the device.
    bool take(int fd) { return fits(fd) && marks_[fd].exchange(false); }

    // `to` now refers to what `from` does (dup, dup2, dup3).
    void copy(int from, int to)
    {
        if (fits(to) && to != from)
            marks_[to].store(has(from), std::memory_order_relaxed);
    }

private:
    std::atomic<bool> marks_[MAX_FD];
};

class ProcFileIdentity {
public:
    void remember(int fd)
    {
        struct stat st;
        if (::fstat(fd, &st) == 0) {
            dev_ = st.st_dev;
            ino_ = st.st_ino;
            known_.store(true, std::memory_order_release);
        }
    }

    bool is(int fd) const
    {
        if (!known_.load(std::memory_order_acquire))
            return false;
        struct stat st;
        return ::fstat(fd, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
    }

private:
    std::atomic<bool> known_;
    dev_t dev_;
    ino_t ino_;
};

}  // namespace qxsim::interpose
