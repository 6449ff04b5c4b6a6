// LD_PRELOAD interposer: the FPGA board's driver, as far as the tools can
// tell. Opens of /dev/qx_fpga and /proc/qx_pci/regs get real descriptors on
// files of the camera's state folder, the two register ioctls and the proc
// file's register-write lines go to the camera model, and the firmware
// folder and the tools' lock folder /run/qx-tools are mapped into the state
// folder. Everything else passes through.
// The camera is the one in $QXSIM_STATE (default ./.qxsim).
#include "qxsim/driver_abi.h"
#include "qxsim/model/camera/camera.h"
#include "qxsim/model/camera/tool_locks.h"
#include "qxsim/preload/descriptors.h"
#include "qxsim/preload/open_family.h"
#include "qxsim/sweep/flash_journal.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>


namespace {

const char firmware_path[] = "/usr/local/bin/orvane/firmware";

using qxsim::DEVICE_PATH;
using qxsim::FPGA_IOC_READ_REG;
using qxsim::FPGA_IOC_WRITE_REG;
using qxsim::fpga_reg_io;
using qxsim::PROC_PATH;

// Descriptors of /dev/qx_fpga handed out in this process, and the proc
// stand-in file: writes to any descriptor of it (also after the shell's dup2
// onto standard output) are register-write lines.
qxsim::interpose::DeviceDescriptors devices;
qxsim::interpose::ProcFileIdentity proc_file;

const char* state_dir()
{
    const char* dir = ::getenv("QXSIM_STATE");
    return dir && *dir ? dir : ".qxsim";
}

pthread_once_t camera_once = PTHREAD_ONCE_INIT;
std::atomic<qxsim::Camera*> the_camera;
char camera_error[512];  // why there is none, told at the driver's first use

// When this process image started: a camera that loses its power ends the
// processes that were running then, and only those. A fork child runs on
// its parent's time.
uint64_t process_start_ns;

__attribute__((constructor)) void note_process_start()
{
    process_start_ns = qxsim::trace_now_ns();
}

void open_camera()
{
    std::string err;
    qxsim::Camera* cam = qxsim::Camera::open(state_dir(), &err).release();
    if (!cam)
        std::snprintf(camera_error, sizeof camera_error, "%s", err.c_str());
    else
        cam->set_process_start(process_start_ns ? process_start_ns : qxsim::trace_now_ns());
    // The power-cut sweep's run: the flash changes go to its journal too.
    const char* journal = ::getenv("QXSIM_FLASH_JOURNAL");
    if (cam && journal && *journal && !qxsim::attach_flash_journal(*cam, journal, &err))
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
    the_camera.store(cam, std::memory_order_release);
}

// Opened at the first use; every register access after that only loads
// the pointer. The driver's entries say once why there is no camera.
qxsim::Camera* camera(bool quiet = false)
{
    if (qxsim::Camera* cam = the_camera.load(std::memory_order_acquire))
        return cam;
    pthread_once(&camera_once, open_camera);
    qxsim::Camera* cam = the_camera.load(std::memory_order_acquire);
    static std::atomic<bool> told;
    if (!cam && !quiet && !told.exchange(true))
        std::fprintf(stderr, "qxsim: %s\n", camera_error);
    return cam;
}

// A process that was running when the camera lost its power ends here.
void power_check(qxsim::Camera* cam)
{
    if (cam)
        cam->power_check();
}

// PATH_MAPPED: a file of the state folder stands in (*mapped), opened as asked.
enum PathKind { PATH_OTHER, PATH_DEVICE, PATH_PROC, PATH_MAPPED };

PathKind classify(const char* path, std::string* mapped)
{
    if (!path || path[0] != '/')
        return PATH_OTHER;
    if (std::strcmp(path, DEVICE_PATH) == 0)
        return PATH_DEVICE;
    if (std::strcmp(path, PROC_PATH) == 0)
        return PATH_PROC;
    size_t n = sizeof firmware_path - 1;
    if (std::strncmp(path, firmware_path, n) == 0 && (path[n] == '/' || path[n] == 0)) {
        *mapped = std::string(state_dir()) + "/firmware" + (path + n);
        return PATH_MAPPED;
    }
    n = sizeof qxsim::TOOL_LOCK_SYSTEM_DIR - 1;
    if (std::strncmp(path, qxsim::TOOL_LOCK_SYSTEM_DIR, n) == 0 && (path[n] == '/' || path[n] == 0)) {
        *mapped = qxsim::ToolLocks(state_dir()).folder() + (path + n);
        return PATH_MAPPED;
    }
    return PATH_OTHER;
}

// The stand-in files are never created, truncated or written through.
int driver_flags(int flags)
{
    return flags & ~(O_CREAT | O_EXCL | O_TRUNC | O_TMPFILE);
}

// The camera, when its driver lets this open of the device node or the proc
// file through (`driver_open` applies the open faults); else null, errno set.
qxsim::Camera* admit(int (qxsim::Camera::*driver_open)())
{
    qxsim::Camera* cam = camera();
    if (!cam) {
        errno = ENOENT;
        return nullptr;
    }
    // A camera whose files went or changed under it has no driver left.
    std::string why;
    if (!cam->files_intact(&why)) {
        std::fprintf(stderr, "qxsim: %s\n", why.c_str());
        errno = ENODEV;
        return nullptr;
    }
    if (int e = (cam->*driver_open)()) {
        errno = e;
        return nullptr;
    }
    return cam;
}

// `real_open(path, flags, mode)` is the C library's open of the variant
// the caller used.
template <typename Opener>
int open_device(Opener real_open, int flags)
{
    qxsim::Camera* cam = admit(&qxsim::Camera::device_open);
    if (!cam)
        return -1;
    int fd = real_open(cam->device_node().c_str(), driver_flags(flags), 0);
    if (fd >= qxsim::interpose::DeviceDescriptors::MAX_FD) {
        ::close(fd);
        errno = EMFILE;
        return -1;
    }
    devices.mark(fd);
    return fd;
}

template <typename Opener>
int open_proc(Opener real_open, int flags)
{
    qxsim::Camera* cam = admit(&qxsim::Camera::proc_open);
    if (!cam)
        return -1;
    int fd = real_open(cam->proc_file().c_str(), driver_flags(flags), 0);
    if (fd >= 0)
        proc_file.remember(fd);
    return fd;
}

template <typename Opener>
int open_path(Opener real_open, const char* path, int flags, mode_t mode)
{
    std::string mapped;
    switch (classify(path, &mapped)) {
    case PATH_DEVICE: return open_device(real_open, flags);
    case PATH_PROC: return open_proc(real_open, flags);
    case PATH_MAPPED:
        power_check(the_camera.load(std::memory_order_acquire));
        return real_open(mapped.c_str(), flags, mode);
    default: return real_open(path, flags, mode);
    }
}

ssize_t proc_cookie_write(void* cookie, const char* buf, size_t size)
{
    int e = static_cast<qxsim::Camera*>(cookie)->proc_write(buf, size);
    if (e) {
        errno = e;
        return -1;
    }
    return static_cast<ssize_t>(size);
}

ssize_t proc_cookie_read(void*, char*, size_t)
{
    return 0;
}

FILE* fopen_path(FILE* (*real_fopen)(const char*, const char*), const char* path, const char* mode)
{
    std::string mapped;
    switch (classify(path, &mapped)) {
    case PATH_DEVICE: {
        qxsim::Camera* cam = admit(&qxsim::Camera::device_open);
        if (!cam)
            return nullptr;
        FILE* f = real_fopen(cam->device_node().c_str(), mode[0] == 'w' ? "r+" : mode);
        if (f)
            devices.mark(fileno(f));
        return f;
    }
    case PATH_PROC: {
        qxsim::Camera* cam = admit(&qxsim::Camera::proc_open);
        if (!cam)
            return nullptr;
        cookie_io_functions_t io = {};
        io.read = proc_cookie_read;
        io.write = proc_cookie_write;
        return ::fopencookie(cam, mode, io);
    }
    case PATH_MAPPED:
        power_check(the_camera.load(std::memory_order_acquire));
        return real_fopen(mapped.c_str(), mode);
    default: return real_fopen(path, mode);
    }
}

int register_ioctl(int fd, unsigned request, void* arg)
{
    qxsim::Camera* cam = camera();
    auto* io = static_cast<fpga_reg_io*>(arg);
    int e = 0;
    if (!cam)
        e = ENODEV;
    else if (request != FPGA_IOC_WRITE_REG && request != FPGA_IOC_READ_REG)
        e = ENOTTY;
    else if (!io)
        e = EFAULT;
    else if (request == FPGA_IOC_WRITE_REG)
        e = cam->reg_write(io->reg, io->value);
    else {
        uint32_t v = 0;
        e = cam->reg_read(io->reg, &v);
        if (!e)
            io->value = v;
    }
    (void)fd;
    if (e) {
        errno = e;
        return -1;
    }
    return 0;
}

}  // namespace

QX_INTERPOSE_OPEN_FAMILY(open_path)

QX_EXPORT int creat(const char* path, mode_t mode)
{
    return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

QX_EXPORT int creat64(const char* path, mode_t mode)
{
    return open64(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

QX_EXPORT FILE* fopen(const char* path, const char* mode)
{
    using fopen_fn = FILE* (*)(const char*, const char*);
    QX_NEXT(fopen, fopen_fn);
    return fopen_path(next_fopen, path, mode);
}

QX_EXPORT FILE* fopen64(const char* path, const char* mode)
{
    using fopen_fn = FILE* (*)(const char*, const char*);
    QX_NEXT(fopen64, fopen_fn);
    return fopen_path(next_fopen64, path, mode);
}

// The tools make their lock folder when it is missing.
QX_EXPORT int mkdir(const char* path, mode_t mode)
{
    using mkdir_fn = int (*)(const char*, mode_t);
    QX_NEXT(mkdir, mkdir_fn);
    std::string mapped;
    return next_mkdir(classify(path, &mapped) == PATH_MAPPED ? mapped.c_str() : path, mode);
}

QX_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (devices.has(fd))
        return register_ioctl(fd, static_cast<unsigned>(request), arg);
    using ioctl_fn = int (*)(int, unsigned long, ...);
    QX_NEXT(ioctl, ioctl_fn);
    return next_ioctl(fd, request, arg);
}

QX_EXPORT int close(int fd)
{
    using close_fn = int (*)(int);
    QX_NEXT(close, close_fn);
    if (devices.take(fd))
        if (qxsim::Camera* cam = camera())
            cam->device_close();
    return next_close(fd);
}

QX_EXPORT ssize_t write(int fd, const void* buf, size_t count)
{
    using write_fn = ssize_t (*)(int, const void*, size_t);
    QX_NEXT(write, write_fn);
    if (proc_file.is(fd)) {
        qxsim::Camera* cam = camera();
        int e = cam ? cam->proc_write(static_cast<const char*>(buf), count) : ENODEV;
        if (e) {
            errno = e;
            return -1;
        }
        return static_cast<ssize_t>(count);
    }
    return next_write(fd, buf, count);
}

// biasset and chanmask reach the camera through shells: the shell that
// wrote a line when the power went dies there, and the tool that started it
// ends as it returns (or before it starts another, should the cut have come
// from elsewhere).
QX_EXPORT int system(const char* command)
{
    using system_fn = int (*)(const char*);
    QX_NEXT(system, system_fn);
    power_check(camera(true));
    int status = next_system(command);
    power_check(camera(true));
    return status;
}

// Descriptor copies keep (or lose) the device mark.
QX_EXPORT int dup(int fd)
{
    using dup_fn = int (*)(int);
    QX_NEXT(dup, dup_fn);
    int nfd = next_dup(fd);
    devices.copy(fd, nfd);
    return nfd;
}

QX_EXPORT int dup2(int fd, int nfd)
{
    using dup2_fn = int (*)(int, int);
    QX_NEXT(dup2, dup2_fn);
    int r = next_dup2(fd, nfd);
    devices.copy(fd, r);
    return r;
}

QX_EXPORT int dup3(int fd, int nfd, int flags)
{
    using dup3_fn = int (*)(int, int, int);
    QX_NEXT(dup3, dup3_fn);
    int r = next_dup3(fd, nfd, flags);
    devices.copy(fd, r);
    return r;
}
