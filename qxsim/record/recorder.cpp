// LD_PRELOAD recording interposer. Every open, ioctl and close of
// /dev/qx_fpga and every write() to /proc/qx_pci/regs is passed on to the
// next implementation (the C library and the camera's driver, or the
// simulated camera's interposer loaded after this one) and written down
// with what the driver answered. Nothing is decided here: the driver's
// answers go back to the caller untouched.
//
// Recording must cost next to nothing per access, so records go in binary
// (record_format.h) into a per-process buffer that reaches the file only
// when it is full, at exit, _exit and exec. A process killed by a signal it
// cannot catch loses what its buffer held (at most BUFFER_SIZE bytes, about
// 13 000 accesses); its file then lacks the END record and the merge says so.
// Every access reads the clock (the vDSO's, some 20 ns) but a reading is
// written only where interpolation would otherwise be off by TIME_SPAN_NS.
// One thread per process is expected to access the device, as the tools do.
#include "qxsim/driver_abi.h"
#include "qxsim/preload/descriptors.h"
#include "qxsim/preload/open_family.h"
#include "qxsim/record/record_format.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace qxsim::rec;

using qxsim::DEVICE_PATH;
using qxsim::PROC_PATH;
using qxsim::FPGA_IOC_READ_REG;
using qxsim::FPGA_IOC_WRITE_REG;
using qxsim::fpga_reg_io;

using qxsim::interpose::next_symbol;

using write_fn = ssize_t (*)(int, const void*, size_t);
using close_fn = int (*)(int);
using ioctl_fn = int (*)(int, unsigned long, ...);

// The next ioctl, looked up once: the access path only loads it.
struct Next {
    ioctl_fn ioctl;
};
Next next;

// Descriptors of the device node in this process, while recording, and the
// proc file once this process opened it: the shell opens it for a
// redirection and writes through a copy on standard output.
qxsim::interpose::DeviceDescriptors devices;
qxsim::interpose::ProcFileIdentity proc_file;

// ---- the per-process record buffer --------------------------------------

constexpr size_t BUFFER_SIZE = 64 * 1024;
constexpr size_t MAX_RECORD = 16;  // largest record but PROC, which flushes first

struct Recorder {
    bool active;          // a recording folder is set and usable
    OrderPage* order;     // shared by every process of the recording
    uint32_t token;       // this process image's turn marker
    pid_t pid;            // owner of the buffer (a vfork child is not)
    int fd;               // this image's file, -1 until the first record
    bool finished;        // its END record is written
    uint64_t reading_ns;  // the last clock reading written
    uint64_t last_ns;     // time of the last record
    bool last_pinned;     // the last record's time is a reading, not interpolated
    size_t used;
    unsigned char* run;   // op byte of the run being extended, or null
    uint32_t run_reg;     // its register and op, and how many more it takes
    uint8_t run_op;
    unsigned run_left;
    uint32_t state[SLOTS];
    unsigned char buf[BUFFER_SIZE];
};
Recorder r;
char record_dir[512];

write_fn next_write_raw()
{
    QX_NEXT(write, write_fn);
    return next_write;
}

void write_all(int fd, const unsigned char* p, size_t n)
{
    write_fn w = next_write_raw();
    while (n > 0) {
        ssize_t k = w(fd, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return;  // a full disk loses the recording, never the tool's work
        p += k;
        n -= static_cast<size_t>(k);
    }
}

void reset_slots()
{
    for (unsigned s = 0; s < SLOTS; s++)
        r.state[s] = slot_sentinel(s);
}

// This image's file: <pid>.<n>.rec, n the first number free (an exec keeps
// the pid, and its new image writes a file of its own).
bool open_file()
{
    QX_NEXT(open, qxsim::interpose::open_fn);
    char path[600];
    for (unsigned n = 0; n < 1000; n++) {
        std::snprintf(path, sizeof path, "%s/%d.%u.rec", record_dir, static_cast<int>(r.pid), n);
        int fd = next_open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            FileHeader h = {};
            std::memcpy(h.magic, MAGIC, sizeof h.magic);
            h.pid = static_cast<uint32_t>(r.pid);
            write_all(fd, reinterpret_cast<const unsigned char*>(&h), sizeof h);
            r.fd = fd;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    r.active = false;
    return false;
}

void flush()
{
    if (r.used == 0)
        return;
    if (r.fd >= 0 || open_file())
        write_all(r.fd, r.buf, r.used);
    r.used = 0;
    r.run = nullptr;
    r.run_left = 0;
}

// Room for a record of n bytes; any record but an access ends the run.
inline unsigned char* room(size_t n)
{
    r.run_left = 0;
    if (r.used + n > BUFFER_SIZE)
        flush();
    return r.buf + r.used;
}

inline void put_u32(unsigned char* p, uint32_t v) { std::memcpy(p, &v, 4); }

inline uint64_t clock_ns()
{
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void put_reading(Op op, uint64_t ns)
{
    unsigned char* p = room(9);
    p[0] = op;
    std::memcpy(p + 1, &ns, 8);
    r.used += 9;
}

// The last record's own time, when it would otherwise be interpolated
// across what comes next (a pause, another process's turn, the end).
void pin_last()
{
    if (!r.last_pinned)
        put_reading(OP_TIME_LAST, r.last_ns);
    r.last_pinned = true;
}

// A reading for the record about to be written at `now`; a pause since the
// last record pins that one first.
void put_time_at(uint64_t now)
{
    if (now - r.last_ns >= TIME_SPAN_NS)
        pin_last();
    put_reading(OP_TIME, now);
    r.reading_ns = now;
    r.last_ns = now;
    r.last_pinned = true;
}

void put_time()
{
    put_time_at(clock_ns());
}

// Another process (or image) reached the driver since this one did: start a
// segment with the next order number.
void new_segment()
{
    // The file exists from the first record on, so that an image killed
    // before its first flush still shows up as killed.
    if (r.fd < 0 && !open_file())
        return;
    // The previous segment's last access keeps its own time.
    pin_last();
    __atomic_store_n(&r.order->last_token, r.token, __ATOMIC_RELAXED);
    uint32_t n = __atomic_add_fetch(&r.order->next_order, 1, __ATOMIC_RELAXED);
    unsigned char* p = room(5);
    p[0] = OP_SEGMENT;
    put_u32(p + 1, n);
    r.used += 5;
    put_time();
}

// Called before each recorded call goes to the driver.
inline void take_turn()
{
    if (r.active && __atomic_load_n(&r.order->last_token, __ATOMIC_RELAXED) != r.token)
        new_segment();
}

// The common case appends one value to the run in progress: a clock read,
// five compares and three stores.
inline void put_access(uint8_t op, uint32_t reg, uint32_t value)
{
    const uint64_t now = clock_ns();
    const bool reading = now - r.reading_ns >= TIME_SPAN_NS || now - r.last_ns >= TIME_SPAN_NS;
    if (!reading && reg == r.run_reg && op == r.run_op && r.run_left) {
        put_u32(r.buf + r.used, value);
        r.used += 4;
        r.run_left--;
        r.run[1]++;
        r.last_ns = now;
        r.last_pinned = false;
        return;
    }
    r.run = nullptr;
    if (reading)
        put_time_at(now);
    else
        r.last_pinned = false;
    r.last_ns = now;
    unsigned slot = slot_of(reg);
    unsigned char* p = room(MAX_RECORD);
    if (r.state[slot] != reg) {
        r.state[slot] = reg;
        p[0] = OP_SLOT;
        p[1] = static_cast<unsigned char>(slot);
        put_u32(p + 2, reg);
        p += 6;
        r.used += 6;
    }
    p[0] = static_cast<uint8_t>(op | slot);
    p[1] = 1;
    put_u32(p + 2, value);
    r.used += 6;
    r.run = p;
    r.run_reg = reg;
    r.run_op = op;
    size_t fit = (BUFFER_SIZE - r.used) / 4;
    r.run_left = fit < 254 ? static_cast<unsigned>(fit) : 254;
}

void put_fail(char kind, uint32_t reg, int err)
{
    put_time();
    unsigned char* p = room(10);
    p[0] = OP_FAIL;
    p[1] = static_cast<unsigned char>(kind);
    put_u32(p + 2, reg);
    put_u32(p + 6, static_cast<uint32_t>(err));
    r.used += 10;
}

// A six-byte record: its op, one byte and a word.
void put_op_word(uint8_t op, uint8_t byte, uint32_t word)
{
    unsigned char* p = room(6);
    p[0] = op;
    p[1] = byte;
    put_u32(p + 2, word);
    r.used += 6;
}

void put_open(PathId path, int err)
{
    take_turn();
    put_time();
    put_op_word(OP_OPEN, path, static_cast<uint32_t>(err));
}

void put_close()
{
    take_turn();
    put_time();
    unsigned char* p = room(2);
    p[0] = OP_CLOSE;
    p[1] = PATH_DEVICE;
    r.used += 2;
}

void put_proc(const void* data, size_t len, bool refused)
{
    put_time();
    if (len > BUFFER_SIZE - 6)
        len = BUFFER_SIZE - 6;  // no shell writes a line that long; keep what fits
    unsigned char* p = room(6 + len);
    p[0] = OP_PROC;
    p[1] = refused;
    put_u32(p + 2, static_cast<uint32_t>(len));
    std::memcpy(p + 6, data, len);
    r.used += 6 + len;
}

// The image ends (`how`, with the exit status): everything it recorded goes
// to the file.
void finish(EndHow how, int status)
{
    if (!r.active || r.pid != ::getpid() || r.finished)
        return;
    r.finished = true;
    if (r.fd < 0 && r.used == 0)
        return;  // it never touched the hardware: no file
    pin_last();
    put_time();
    put_op_word(OP_END, how, static_cast<uint32_t>(status));
    flush();
}

// exit() and a return from main; _exit is interposed below.
void at_exit(int status, void*)
{
    finish(END_EXIT, status);
}

void start_image()
{
    r.pid = ::getpid();
    r.fd = -1;
    r.finished = false;
    r.reading_ns = 0;
    r.last_ns = 0;
    r.last_pinned = true;
    r.used = 0;
    r.run = nullptr;
    r.run_left = 0;
    reset_slots();
    r.token = __atomic_add_fetch(&r.order->next_token, 1, __ATOMIC_RELAXED);
}

// A new image in this process (a fork's child, or an image going on after
// a failed exec) records into a file of its own, with a token of its own.
void restart_image()
{
    if (r.fd >= 0)
        ::close(r.fd);
    start_image();
}

// fork: the child's copy of the buffer is the parent's to write.
void after_fork_child()
{
    if (r.active)
        restart_image();
}

__attribute__((constructor)) void recorder_init()
{
    if (!next.ioctl)
        next.ioctl = next_symbol<ioctl_fn>("ioctl");
    const char* dir = ::getenv(ENV_DIR);
    if (!dir || !*dir || std::strlen(dir) >= sizeof record_dir)
        return;
    std::strcpy(record_dir, dir);
    char path[600];
    std::snprintf(path, sizeof path, "%s/order", record_dir);
    QX_NEXT(open, qxsim::interpose::open_fn);
    int fd = next_open(path, O_RDWR | O_CLOEXEC, 0);
    if (fd < 0)
        return;
    void* m = ::mmap(nullptr, sizeof(OrderPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (m == MAP_FAILED)
        return;
    r.order = static_cast<OrderPage*>(m);
    if (r.order->magic != ORDER_MAGIC)
        return;
    start_image();
    ::pthread_atfork(nullptr, nullptr, after_fork_child);
    // on_exit, unlike atexit, hands over the exit status.
    ::on_exit(at_exit, nullptr);
    r.active = true;
}

// `real_open(path, flags, mode)`: the next open of the variant called.
template <typename Opener>
int open_path(Opener real_open, const char* path, int flags, mode_t mode)
{
    bool dev = path && std::strcmp(path, DEVICE_PATH) == 0;
    bool proc = !dev && path && std::strcmp(path, PROC_PATH) == 0;
    int fd = real_open(path, flags, mode);
    if (!dev && !proc)
        return fd;
    int err = fd < 0 ? errno : 0;
    if (fd >= 0 && dev && r.active)
        devices.mark(fd);
    if (fd >= 0 && proc)
        proc_file.remember(fd);
    if (r.active)
        put_open(dev ? PATH_DEVICE : PATH_PROC, err);
    errno = err ? err : errno;
    return fd;
}

inline int record_ioctl(int fd, unsigned long request, fpga_reg_io* io)
{
    uint32_t reg = io->reg;
    take_turn();
    int ret = next.ioctl(fd, request, io);
    if (__builtin_expect(ret < 0, 0)) {
        int err = errno;
        put_fail(request == FPGA_IOC_READ_REG ? 'R' : 'W', reg, err);
        errno = err;
    } else {
        put_access(request == FPGA_IOC_READ_REG ? OP_READ : OP_WRITE, reg, io->value);
    }
    return ret;
}

}  // namespace

QX_INTERPOSE_OPEN_FAMILY(open_path)

// Declared with the request's argument as a named parameter: on the
// targets this builds for (x86-64, ARM EABI) the third argument of the
// variadic ioctl arrives in the same register either way, and the register
// save area of a variadic function is work the hot path can do without.
QX_EXPORT int ioctl(int fd, unsigned long request, void* arg)
{
    if (devices.has(fd) && (request == FPGA_IOC_READ_REG || request == FPGA_IOC_WRITE_REG) && arg)
        return record_ioctl(fd, request, static_cast<fpga_reg_io*>(arg));
    if (__builtin_expect(!next.ioctl, 0))
        next.ioctl = next_symbol<ioctl_fn>("ioctl");
    return next.ioctl(fd, request, arg);
}

QX_EXPORT int close(int fd)
{
    QX_NEXT(close, close_fn);
    if (devices.take(fd) && r.active)
        put_close();
    return next_close(fd);
}

QX_EXPORT ssize_t write(int fd, const void* buf, size_t count)
{
    write_fn next = next_write_raw();
    if (!r.active || !proc_file.is(fd))
        return next(fd, buf, count);
    take_turn();
    ssize_t n = next(fd, buf, count);
    int err = errno;
    if (count > 0)
        put_proc(buf, count, n < 0);
    errno = err;
    return n;
}

QX_EXPORT int dup(int fd)
{
    QX_NEXT(dup, int (*)(int));
    int nfd = next_dup(fd);
    devices.copy(fd, nfd);
    return nfd;
}

QX_EXPORT int dup2(int fd, int nfd)
{
    QX_NEXT(dup2, int (*)(int, int));
    int r2 = next_dup2(fd, nfd);
    devices.copy(fd, r2);
    return r2;
}

QX_EXPORT int dup3(int fd, int nfd, int flags)
{
    QX_NEXT(dup3, int (*)(int, int, int));
    int r3 = next_dup3(fd, nfd, flags);
    devices.copy(fd, r3);
    return r3;
}

// The image is about to end without exit's destructors (the shell leaves
// with _exit) or to be replaced.
QX_EXPORT void _exit(int status)
{
    QX_NEXT(_exit, void (*)(int));
    finish(END_EXIT, status);
    next__exit(status);
    __builtin_unreachable();
}

QX_EXPORT void _Exit(int status)
{
    QX_NEXT(_Exit, void (*)(int));
    finish(END_EXIT, status);
    next__Exit(status);
    __builtin_unreachable();
}

namespace {

// After a failed exec the image goes on: its next records start a new file
// (the old one ended with END).
void before_exec()
{
    if (!r.active || r.pid != ::getpid())
        return;
    finish(END_EXEC, 0);
    restart_image();
}

}  // namespace

QX_EXPORT int execve(const char* path, char* const argv[], char* const envp[])
{
    QX_NEXT(execve, int (*)(const char*, char* const*, char* const*));
    before_exec();
    return next_execve(path, argv, envp);
}

QX_EXPORT int execv(const char* path, char* const argv[])
{
    QX_NEXT(execv, int (*)(const char*, char* const*));
    before_exec();
    return next_execv(path, argv);
}

QX_EXPORT int execvp(const char* file, char* const argv[])
{
    QX_NEXT(execvp, int (*)(const char*, char* const*));
    before_exec();
    return next_execvp(file, argv);
}

QX_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[])
{
    QX_NEXT(execvpe, int (*)(const char*, char* const*, char* const*));
    before_exec();
    return next_execvpe(file, argv, envp);
}

QX_EXPORT int fexecve(int fd, char* const argv[], char* const envp[])
{
    QX_NEXT(fexecve, int (*)(int, char* const*, char* const*));
    before_exec();
    return next_fexecve(fd, argv, envp);
}

// The list forms of exec reach the kernel without passing through the
// vector forms' exported symbols: they collect their arguments and go
// through the interposed ones.
namespace {

constexpr int MAX_ARGS = 1024;

// The arguments after `arg` up to the null one, then for execle the
// environment; false when there are more than fit (E2BIG, as the kernel
// would say).
bool collect_args(const char* arg, va_list ap, char** argv, char* const** envp)
{
    int n = 0;
    argv[n++] = const_cast<char*>(arg);
    while (argv[n - 1]) {
        if (n == MAX_ARGS) {
            errno = E2BIG;
            return false;
        }
        argv[n++] = va_arg(ap, char*);
    }
    if (envp)
        *envp = va_arg(ap, char* const*);
    return true;
}

}  // namespace

#define QX_COLLECT_ARGS(arg, envp)                                   \
    char* argv[MAX_ARGS];                                            \
    va_list ap;                                                      \
    va_start(ap, arg);                                               \
    bool collected = collect_args(arg, ap, argv, envp);              \
    va_end(ap);                                                      \
    if (!collected)                                                  \
        return -1

QX_EXPORT int execl(const char* path, const char* arg, ...)
{
    QX_COLLECT_ARGS(arg, nullptr);
    return execv(path, argv);
}

QX_EXPORT int execlp(const char* file, const char* arg, ...)
{
    QX_COLLECT_ARGS(arg, nullptr);
    return execvp(file, argv);
}

QX_EXPORT int execle(const char* path, const char* arg, ...)
{
    char* const* envp = nullptr;
    QX_COLLECT_ARGS(arg, &envp);
    return execve(path, argv, envp);
}
