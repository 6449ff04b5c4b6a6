#include "qxsim/sweep/camera_copy.h"

#include "qxsim/model/camera/camera.h"
#include "qxsim/model/camera/tool_locks.h"
#include "qxsim/model/flash/flash_store.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxsim {

namespace {

std::string sys_error(const std::string& what, int err)
{
    return fmt::format("{}: {}", what, std::strerror(err));
}

bool write_all(int fd, const uint8_t* p, size_t n, off_t at)
{
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
        at += w;
    }
    return true;
}

// Copies [0, size) of `in` to `out` extent by extent: holes stay holes.
bool copy_sparse(int in, int out, off_t size)
{
    std::vector<uint8_t> buf(1 << 20);
    off_t pos = 0;
    while (pos < size) {
        off_t data = ::lseek(in, pos, SEEK_DATA);
        if (data < 0)
            return errno == ENXIO;  // nothing but a hole to the end
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0)
            return false;
        for (off_t at = data; at < hole;) {
            size_t n = static_cast<size_t>(std::min<off_t>(hole - at, static_cast<off_t>(buf.size())));
            ssize_t r = ::pread(in, buf.data(), n, at);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0 || !write_all(out, buf.data(), static_cast<size_t>(r), at))
                return false;
            at += r;
        }
        pos = hole;
    }
    return true;
}

bool copy_file(const std::string& from, const std::string& to, bool sparse, std::string* err)
{
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        *err = sys_error("cannot open " + from, errno);
        return false;
    }
    struct stat st;
    int out = ::open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = out >= 0 && ::fstat(in, &st) == 0 && ::ftruncate(out, st.st_size) == 0;
    if (ok && sparse) {
        ok = copy_sparse(in, out, st.st_size);
    } else if (ok) {
        std::vector<uint8_t> buf(1 << 16);
        off_t at = 0;
        for (ssize_t r; ok && (r = ::read(in, buf.data(), buf.size())) != 0;) {
            if (r < 0 && errno == EINTR)
                continue;
            ok = r > 0 && write_all(out, buf.data(), static_cast<size_t>(r), at);
            at += r;
        }
    }
    int e = errno;
    ::close(in);
    if (out >= 0)
        ::close(out);
    if (!ok)
        *err = sys_error("cannot copy " + from + " to " + to, e);
    return ok;
}

// The state as it stands, with a robust process-shared lock of its own in
// place of the original's (which may be held right now: by this copy).
bool write_state(const CameraState& state, const std::string& path, std::string* err)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || !write_all(fd, reinterpret_cast<const uint8_t*>(&state), sizeof state, 0)) {
        *err = sys_error("cannot write " + path, errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    void* map = ::mmap(nullptr, sizeof state, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        *err = sys_error("cannot map " + path, errno);
        return false;
    }
    auto* copy = static_cast<CameraState*>(map);
    init_state_lock(*copy);
    ::munmap(map, sizeof state);
    return true;
}

bool make_dir(const std::string& dir, std::string* err)
{
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        *err = sys_error("cannot create " + dir, errno);
        return false;
    }
    return true;
}

bool copy_folder_files(const std::string& from, const std::string& to, std::string* err)
{
    DIR* d = ::opendir(from.c_str());
    if (!d) {
        *err = sys_error("cannot read " + from, errno);
        return errno == ENOENT;
    }
    bool ok = true;
    while (struct dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        struct stat st;
        if (name == "." || name == ".." || ::stat((from + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (!(ok = copy_file(from + "/" + name, to + "/" + name, false, err)))
            break;
    }
    ::closedir(d);
    return ok;
}

}  // namespace

bool copy_camera(const std::string& from, const std::string& to, std::string* err)
{
    std::unique_ptr<Camera> cam = Camera::open(from, err);
    if (!cam)
        return false;
    if (!make_dir(to, err) || !make_dir(to + "/firmware", err) || !make_dir(ToolLocks(to).folder(), err))
        return false;
    for (const std::string& f : {cam->device_node(), cam->proc_file()}) {
        const std::string name = f.substr(f.rfind('/'));
        int fd = ::open((to + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            *err = sys_error("cannot create " + to + name, errno);
            return false;
        }
        ::close(fd);
    }
    if (!copy_folder_files(cam->firmware_dir(), to + "/firmware", err))
        return false;
    auto lock = cam->lock();
    return write_state(cam->state(), to + "/camera.state", err) &&
           copy_file(from + "/flash.bin", to + "/flash.bin", true, err);
}

void remove_tree(const std::string& dir)
{
    ::nftw(
        dir.c_str(), [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

}  // namespace qxsim
