#include "qxsim/trace/mapped_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxsim {

namespace {

// The mappings whose lost pages SIGBUS turns into zeros. A slot is claimed
// through `used`; the handler reads a range only once `end` is set, after
// `begin`.
struct GuardSlot {
    std::atomic<bool> used{false};
    std::atomic<uintptr_t> begin{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<bool> faulted{false};
};
constexpr int GUARD_SLOTS = 32;
GuardSlot guard_slots[GUARD_SLOTS];
struct sigaction previous_sigbus;
uintptr_t page_size = 4096;
std::once_flag guard_installed;

void pass_on(int sig, siginfo_t* info, void* context)
{
    if ((previous_sigbus.sa_flags & SA_SIGINFO) && previous_sigbus.sa_sigaction) {
        previous_sigbus.sa_sigaction(sig, info, context);
        return;
    }
    if (previous_sigbus.sa_handler != SIG_DFL && previous_sigbus.sa_handler != SIG_IGN) {
        previous_sigbus.sa_handler(sig);
        return;
    }
    // Not ours and nobody else's: the fault repeats and ends the process.
    signal(SIGBUS, SIG_DFL);
}

// A page of a guarded mapping that the file no longer backs: an anonymous
// zero page takes its place and the access is made again.
void on_sigbus(int sig, siginfo_t* info, void* context)
{
    const uintptr_t addr = reinterpret_cast<uintptr_t>(info->si_addr);
    for (GuardSlot& s : guard_slots) {
        const uintptr_t end = s.end.load(std::memory_order_acquire);
        if (end && addr >= s.begin.load(std::memory_order_relaxed) && addr < end) {
            void* page = reinterpret_cast<void*>(addr & ~(page_size - 1));
            if (mmap(page, page_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
                break;
            s.faulted.store(true, std::memory_order_relaxed);
            return;
        }
    }
    pass_on(sig, info, context);
}

void install_guard()
{
    long p = sysconf(_SC_PAGESIZE);
    if (p > 0)
        page_size = static_cast<uintptr_t>(p);
    struct sigaction sa = {};
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, &previous_sigbus);
}

int guard(const void* data, size_t size)
{
    std::call_once(guard_installed, install_guard);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
    for (int i = 0; i < GUARD_SLOTS; i++) {
        GuardSlot& s = guard_slots[i];
        if (!s.used.exchange(true, std::memory_order_acq_rel)) {
            s.faulted.store(false, std::memory_order_relaxed);
            s.begin.store(begin, std::memory_order_relaxed);
            s.end.store(begin + size, std::memory_order_release);
            return i;
        }
    }
    return -1;  // more mappings at once than slots: this one unguarded
}

const char* file_type(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFIFO: return "a FIFO";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFDIR: return "a directory";
    case S_IFSOCK: return "a socket";
    default: return "not a regular file";
    }
}

}  // namespace

MappedFile::~MappedFile()
{
    close();
}

void MappedFile::close()
{
    if (guard_ >= 0) {
        guard_slots[guard_].end.store(0, std::memory_order_release);
        guard_slots[guard_].used.store(false, std::memory_order_release);
        guard_ = -1;
    }
    if (data_)
        ::munmap(const_cast<char*>(data_), size_);
    if (fd_ >= 0)
        ::close(fd_);
    data_ = nullptr;
    size_ = 0;
    fd_ = -1;
}

bool MappedFile::open(const std::string& path, bool sequential, std::string* err)
{
    close();
    path_ = path;
    auto fail = [&](const std::string& what) {
        *err = path + ": " + what;
        close();
        return false;
    };
    // O_NONBLOCK: a FIFO without a writer would block the open itself.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        return fail(std::string("cannot read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail(std::string("is ") + file_type(st.st_mode) + ", not a trace file");
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    if (st.st_size == 0) {
        // /proc and /sys files show size 0 and still read text
        char c;
        if (::read(fd_, &c, 1) > 0)
            return fail("its size (0) is not what it holds (a file of /proc or /sys?), not a trace file");
        return true;
    }
    if (static_cast<unsigned long long>(st.st_size) > SIZE_MAX)
        return fail("too large to map on this machine");
    size_t size = static_cast<size_t>(st.st_size);
    void* m = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (sequential ? MAP_POPULATE : 0), fd_, 0);
    if (m == MAP_FAILED)
        return fail(std::string("cannot read: ") + std::strerror(errno));
    data_ = static_cast<const char*>(m);
    size_ = size;
    guard_ = guard(data_, size_);
    if (sequential)
        ::madvise(m, size, MADV_SEQUENTIAL);
    return true;
}

bool MappedFile::changed(std::string* what) const
{
    if (fd_ < 0)
        return false;
    struct stat st;
    bool faulted = guard_ >= 0 && guard_slots[guard_].faulted.load(std::memory_order_relaxed);
    if (::fstat(fd_, &st) == 0 && (faulted || static_cast<unsigned long long>(st.st_size) < size_)) {
        *what = path_ + ": shrank from " + std::to_string(size_) + " to " + std::to_string(st.st_size) +
                " bytes while it was read (cleared or cut), what was read is incomplete";
        return true;
    }
    if (faulted) {
        *what = path_ + ": shrank while it was read, what was read is incomplete";
        return true;
    }
    struct stat now;
    if (::stat(path_.c_str(), &now) == 0 &&
        (static_cast<unsigned long long>(now.st_dev) != dev_ || static_cast<unsigned long long>(now.st_ino) != ino_)) {
        *what = path_ + ": was replaced by another file while it was read";
        return true;
    }
    return false;
}

}  // namespace qxsim
