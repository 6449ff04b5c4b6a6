#include "qxsim/model/flash/flash_store.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxsim {

FlashStore::~FlashStore()
{
    if (mem_)
        munmap(mem_, kSize);
    if (fd_ >= 0)
        ::close(fd_);
}

namespace {

// What is wrong with the array's file, or "".
std::string file_problem(const struct stat& st)
{
    if (!S_ISREG(st.st_mode))
        return "is not a regular file";
    if (st.st_size != FlashStore::kSize)
        return "is " + std::to_string(st.st_size) + " bytes, not the flash's " + std::to_string(FlashStore::kSize) +
               ": the array was cut short or replaced";
    return "";
}

}  // namespace

bool FlashStore::open(const std::string& path, std::string* error, bool create)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (fd < 0) {
        *error = errno == ENOENT ? path + " is missing: the flash array is lost"
                                 : path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || (create && S_ISREG(st.st_mode) && st.st_size != kSize && ftruncate(fd, kSize) != 0)) {
        *error = path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    if (create)
        fstat(fd, &st);
    if (std::string problem = file_problem(st); !problem.empty()) {
        *error = path + " " + problem;
        ::close(fd);
        return false;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    void* mem = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
        *error = path + ": mmap: " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    mem_ = static_cast<uint8_t*>(mem);
    return true;
}

bool FlashStore::intact(const std::string& path, std::string* error) const
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        *error = path + " is missing: the flash array is lost";
        return false;
    }
    if (uint64_t(st.st_dev) != dev_ || uint64_t(st.st_ino) != ino_) {
        *error = path + " was replaced while in use";
        return false;
    }
    if (std::string problem = file_problem(st); !problem.empty()) {
        *error = path + " " + problem;
        return false;
    }
    return true;
}

// The loops work eight bytes at a time; a block is up to a page, read and
// programmed millions of times in an update.
void FlashStore::read(uint32_t addr, uint8_t* out, uint32_t len) const
{
    const uint8_t* s = mem_ + addr;
    uint32_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        w = ~w;
        std::memcpy(out + i, &w, 8);
    }
    for (; i < len; ++i)
        out[i] = static_cast<uint8_t>(~s[i]);
}

void FlashStore::program(uint32_t addr, const uint8_t* data, uint32_t len)
{
    uint8_t* s = mem_ + addr;
    uint32_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w, d;
        std::memcpy(&w, s + i, 8);
        std::memcpy(&d, data + i, 8);
        w |= ~d;
        std::memcpy(s + i, &w, 8);
    }
    for (; i < len; ++i)
        s[i] |= static_cast<uint8_t>(~data[i]);
}

bool FlashStore::needs_erase(uint32_t addr, const uint8_t* data, uint32_t len) const
{
    // A bit needs erasing where the array holds 0 (stored 1) and data holds 1.
    const uint8_t* s = mem_ + addr;
    uint64_t set = 0;
    uint32_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w, d;
        std::memcpy(&w, s + i, 8);
        std::memcpy(&d, data + i, 8);
        set |= w & d;
    }
    for (; i < len; ++i)
        set |= s[i] & data[i];
    return set != 0;
}

void FlashStore::erase(uint32_t addr, uint32_t len)
{
    const uint32_t page = 4096;
    uint32_t first = (addr + page - 1) & ~(page - 1);
    uint32_t last = (addr + len) & ~(page - 1);
    if (first < last && fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, first, last - first) == 0) {
        std::memset(mem_ + addr, 0, first - addr);
        std::memset(mem_ + last, 0, addr + len - last);
        return;
    }
    std::memset(mem_ + addr, 0, len);
}

void FlashStore::load(uint32_t addr, const uint8_t* data, uint32_t len)
{
    uint8_t* s = mem_ + addr;
    for (uint32_t i = 0; i < len; ++i)
        s[i] = static_cast<uint8_t>(~data[i]);
}

uint32_t FlashStore::programmed_end(uint32_t begin, uint32_t end) const
{
    // Walk the file's data extents inside the range and keep the last
    // non-erased byte found; holes are erased by construction.
    uint32_t found = begin;
    off_t pos = begin;
    while (pos < static_cast<off_t>(end)) {
        off_t data = lseek(fd_, pos, SEEK_DATA);
        if (data < 0 || data >= static_cast<off_t>(end))
            break;
        off_t hole = lseek(fd_, data, SEEK_HOLE);
        if (hole < 0 || hole > static_cast<off_t>(end))
            hole = end;
        for (off_t a = hole; a > data; --a) {
            if (mem_[a - 1] != 0) {
                found = static_cast<uint32_t>(a);
                break;
            }
        }
        pos = hole;
    }
    return found;
}

}  // namespace qxsim
