// The camera's state file: creating a camera in a folder and opening an
// existing one.
#include "qxsim/model/camera/camera.h"

#include "qxsim/model/flash/flash_parts.h"
#include "qxsim/model/devices/register_device.h"
#include "qxsim/model/flash/release_images.h"
#include "qxsim/model/camera/tool_locks.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxsim {

void init_state_lock(CameraState& state)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&state.core.lock, &attr);
    pthread_mutexattr_destroy(&attr);
}

namespace {

const char state_name[] = "/camera.state";

std::string sys_error(const std::string& what, int err)
{
    return fmt::format("{}: {}", what, std::strerror(err));
}

bool make_dirs(const std::string& dir, std::string* err)
{
    for (size_t pos = 1; pos <= dir.size(); pos++) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            *err = sys_error("cannot create " + part, errno);
            return false;
        }
    }
    return true;
}

bool touch(const std::string& path, std::string* err)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = sys_error("cannot create " + path, errno);
        return false;
    }
    ::close(fd);
    return true;
}

// Generic bus devices every fresh camera carries, so that a register dump
// of each bus finds something.
struct PresetDevice {
    Bus bus;
    uint8_t addr;
    unsigned width;
    const char* label;
};
const PresetDevice preset_devices[] = {
    {BUS_MAIN, 0x20, 1, "port-expander"},
    {BUS_MAIN, 0x48, 2, "temp-sensor"},
    {BUS_IOB, 0x3C, 4, "iob-controller"},
    {BUS_IOB, 0x21, 1, "led-driver"},
};

}  // namespace

std::unique_ptr<Camera> Camera::open(const std::string& dir, std::string* err)
{
    std::string path = dir + state_name;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *err = errno == ENOENT ? fmt::format("no simulated camera in {} (create one with: qxsim --state {} create)", dir, dir)
                               : sys_error("cannot open " + path, errno);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *err = fmt::format("{} is not a regular file; re-create the camera (qxsim --state {} create --force)", path,
                           dir);
        return nullptr;
    }
    if (static_cast<size_t>(st.st_size) != sizeof(CameraState)) {
        ::close(fd);
        *err = fmt::format("{} is {} bytes, not the {} of this simulator's state: cut short, or made by another "
                           "version; re-create the camera (qxsim --state {} create --force)",
                           path, st.st_size, sizeof(CameraState), dir);
        return nullptr;
    }
    void* map = ::mmap(nullptr, sizeof(CameraState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int map_errno = errno;
    ::close(fd);
    if (map == MAP_FAILED) {
        *err = sys_error("cannot map " + path, map_errno);
        return nullptr;
    }
    auto* state = static_cast<CameraState*>(map);
    if (state->core.magic != STATE_MAGIC || state->core.version != STATE_VERSION ||
        state->core.size != sizeof(CameraState)) {
        ::munmap(map, sizeof(CameraState));
        *err = fmt::format("{} was made by another version of the simulator; re-create the camera "
                           "(qxsim --state {} create --force)", path, dir);
        return nullptr;
    }
    std::unique_ptr<Camera> cam(new Camera(dir, state, sizeof(CameraState)));
    if (!cam->flash_->ok) {
        *err = cam->flash_->error + fmt::format(" (qxsim --state {} create --force makes a new camera)", dir);
        return nullptr;
    }
    cam->state_dev_ = st.st_dev;
    cam->state_ino_ = st.st_ino;
    return cam;
}

std::unique_ptr<Camera> Camera::on_state(const std::string& dir, CameraState* state, std::string* err)
{
    std::unique_ptr<Camera> cam(new Camera(dir, state, 0));
    if (!cam->flash_->ok) {
        *err = cam->flash_->error;
        return nullptr;
    }
    return cam;
}

bool Camera::files_intact(std::string* why) const
{
    const std::string path = dir_ + state_name;
    struct stat st;
    if (map_size_ && ::stat(path.c_str(), &st) != 0) {
        *why = path + " is missing: the camera was removed while in use";
        return false;
    }
    if (map_size_ && (uint64_t(st.st_dev) != state_dev_ || uint64_t(st.st_ino) != state_ino_)) {
        *why = path + " was replaced while in use (a camera created anew?)";
        return false;
    }
    if (map_size_ && static_cast<size_t>(st.st_size) != map_size_) {
        *why = fmt::format("{} is {} bytes, not {}: it was cut short while in use", path, st.st_size, map_size_);
        return false;
    }
    return flash_->store.intact(dir_ + "/flash.bin", why);
}

// The state is built in a private file and published by one link (or, to
// replace a camera, one rename): an opener sees either no camera or a
// complete one.
bool Camera::create(const std::string& dir, const CreateOptions& options, std::string* err)
{
    std::string path = dir + state_name;
    if (!make_dirs(dir, err) || !make_dirs(dir + "/firmware", err) || !make_dirs(ToolLocks(dir).folder(), err))
        return false;
    if (!options.force && ::access(path.c_str(), F_OK) == 0) {
        *err = fmt::format("a camera already exists in {} (use --force to replace it)", dir);
        return false;
    }
    static unsigned serial;
    std::string tmp = fmt::format("{}/.camera.state.{}.{}", dir, ::getpid(), serial++);
    int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = sys_error("cannot create " + tmp, errno);
        return false;
    }
    if (::ftruncate(fd, sizeof(CameraState)) != 0) {
        *err = sys_error("cannot size " + tmp, errno);
        ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    }
    void* map = ::mmap(nullptr, sizeof(CameraState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        *err = sys_error("cannot map " + tmp, errno);
        ::unlink(tmp.c_str());
        return false;
    }
    auto* state = static_cast<CameraState*>(map);
    init_state_lock(*state);
    state->core.sensor_code = options.sensor_code;
    {
        Camera cam(dir, state, sizeof(CameraState), true);
        if (!cam.flash_->ok) {
            *err = cam.flash_->error;
            ::unlink(tmp.c_str());
            return false;
        }
        cam.factory_reset_locked();
        for (const PresetDevice& p : preset_devices)
            cam.register_device_slot(p.bus, p.addr)->install(p.addr, p.width, p.label);
        state->core.version = STATE_VERSION;
        state->core.size = sizeof(CameraState);
        state->core.magic = STATE_MAGIC;
    }  // unmaps
    if (!touch(dir + "/qx_fpga", err) || !touch(dir + "/proc_regs", err) ||
        !write_release_images(dir + "/firmware", err)) {
        ::unlink(tmp.c_str());
        return false;
    }
    ::unlink((dir + "/trace.log").c_str());
    int rc = options.force ? ::rename(tmp.c_str(), path.c_str()) : ::link(tmp.c_str(), path.c_str());
    int rc_errno = errno;
    if (!options.force)
        ::unlink(tmp.c_str());
    if (rc != 0) {
        ::unlink(tmp.c_str());
        *err = rc_errno == EEXIST ? fmt::format("a camera already exists in {} (use --force to replace it)", dir)
                                  : sys_error("cannot publish " + path, rc_errno);
        return false;
    }
    return true;
}
}  // namespace qxsim
