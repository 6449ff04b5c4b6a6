// A file mapped read-only and whole, for the readers of trace files and
// recordings (replay, the decoded view, the waveform export, the sweep, the
// recording merge). Nothing the file turns out to be makes a reader hang or
// die:
// - only a regular file is mapped; a FIFO, a device, a directory is refused
//   at open (opened without blocking, so a FIFO with no writer does not
//   hang), and so is a file whose size says nothing of its contents (those
//   of /proc and /sys show size 0 and yet hold text);
// - a file shrunk under the mapping (a trace cleared while it is decoded)
//   would raise SIGBUS at the first page past its new end: the pages lost
//   read as zeros instead, and changed() says what happened. So does a file
//   replaced under its path while it was read.
// open() and changed() fill their messages with "PATH: what is wrong".
// An empty file maps to no data and size 0. Unmapped at destruction.
#pragma once

#include <cstddef>
#include <string>

namespace qxsim {

class MappedFile {
public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    // `sequential`: the whole file is read once, front to back (populate the
    // mapping and tell the kernel to read ahead).
    bool open(const std::string& path, bool sequential, std::string* err);

    const char* data() const { return data_; }
    size_t size() const { return size_; }

    // After the data was read: true, with *what ("PATH: shrank from N to M
    // bytes while it was read (cleared or cut), ...", "PATH: was replaced by
    // another file while it was read"), when
    // what was read may not be what the file held; false when it held still.
    // A file that grew is not changed (a trace the camera writes to).
    bool changed(std::string* what) const;

private:
    void close();

    const char* data_ = nullptr;
    size_t size_ = 0;
    int fd_ = -1;
    int guard_ = -1;  // slot in the SIGBUS guard, -1 for none
    std::string path_;
    unsigned long long dev_ = 0, ino_ = 0;
};

}  // namespace qxsim
