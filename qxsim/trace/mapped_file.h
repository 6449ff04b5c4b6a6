// A file mapped read-only and whole, for the readers of trace files and
// recordings: open() fills *err with "cannot read PATH: REASON" on failure;
// an empty file maps to no data and size 0. Unmapped at destruction.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxsim {

class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile()
    {
        if (data_)
            ::munmap(const_cast<char*>(data_), size_);
    }

    // `sequential`: the whole file is read once, front to back (populate the
    // mapping and tell the kernel to read ahead).
    bool open(const std::string& path, bool sequential, std::string* err)
    {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            *err = "cannot read " + path + ": " + std::strerror(errno);
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        size_t size = static_cast<size_t>(st.st_size);
        if (size > 0) {
            void* m = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (sequential ? MAP_POPULATE : 0), fd, 0);
            if (m == MAP_FAILED) {
                *err = "cannot read " + path + ": " + std::strerror(errno);
                ::close(fd);
                return false;
            }
            if (sequential)
                ::madvise(m, size, MADV_SEQUENTIAL);
            data_ = static_cast<const char*>(m);
            size_ = size;
        }
        ::close(fd);
        return true;
    }

    const char* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const char* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace qxsim
