#include "qxsim/record/record_merge.h"

#include "qxsim/driver_abi.h"
#include "qxsim/trace/mapped_file.h"
#include "qxsim/trace/proc_line.h"
#include "qxsim/trace/trace_format.h"
#include "qxsim/record/record_format.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace qxsim {

namespace {

using namespace rec;

// The trace file, written in large blocks.
class TraceWriter {
public:
    explicit TraceWriter(int fd) : fd_(fd) {}

    void put(const TraceRecord& rec)
    {
        if (rec.time_ns < last_ns_) {
            TraceRecord r = rec;
            r.time_ns = last_ns_;  // interpolated times never run backwards
            put_line(r);
        } else {
            last_ns_ = rec.time_ns;
            put_line(rec);
        }
    }
    bool flush()
    {
        const char* p = buf_.get();
        while (used_ > 0) {
            ssize_t n = ::write(fd_, p, used_);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                failed_ = true;
                used_ = 0;
                break;
            }
            p += n;
            used_ -= static_cast<size_t>(n);
        }
        return !failed_;
    }

private:
    void put_line(const TraceRecord& rec)
    {
        size_t need = TRACE_LINE_FIXED + rec.text.size();
        if (used_ + need > SIZE)
            flush();
        if (need > SIZE)
            return;
        used_ += format_trace_line(rec, buf_.get() + used_, SIZE - used_);
    }

    static constexpr size_t SIZE = 1 << 20;
    int fd_;
    std::unique_ptr<char[]> buf_{new char[SIZE]};
    size_t used_ = 0;
    uint64_t last_ns_ = 0;
    bool failed_ = false;
};

// One process image's file, read record by record.
class RecordFile {
public:
    bool open(const std::string& path, std::string* err)
    {
        if (!file_.open(path, false, err))
            return false;
        data_ = reinterpret_cast<const unsigned char*>(file_.data());
        size_ = file_.size();
        if (size_ < sizeof(FileHeader)) {
            // killed between creating its file and writing the header
            pid_ = static_cast<int32_t>(std::atoi(path.c_str() + path.rfind('/') + 1));
            size_ = 0;
            return true;
        }
        FileHeader h;
        std::memcpy(&h, data_, sizeof h);
        if (std::memcmp(h.magic, MAGIC, sizeof MAGIC) != 0) {
            *err = path + " is not a recording of this recorder";
            return false;
        }
        pid_ = static_cast<int32_t>(h.pid);
        pos_ = sizeof h;
        for (unsigned s = 0; s < SLOTS; s++)
            slots_[s] = slot_sentinel(s);
        skip_to_segment();
        return true;
    }

    bool done() const { return pos_ >= size_; }
    uint32_t order() const { return order_; }
    int32_t pid() const { return pid_; }
    bool ended_cleanly() const { return clean_; }

    // Emits this file's current segment, up to the next SEGMENT record.
    void segment(TraceWriter& out)
    {
        out_ = &out;
        while (pos_ < size_) {
            uint8_t op = data_[pos_];
            if (op == OP_SEGMENT && have(5))
                break;
            if (!record(op)) {
                pos_ = size_;  // a torn tail: what is whole was read
                break;
            }
        }
        settle(0, false);
        skip_to_segment();
    }

private:
    uint32_t u32(size_t at) const
    {
        uint32_t v;
        std::memcpy(&v, data_ + at, 4);
        return v;
    }
    bool have(size_t n) const { return pos_ + n <= size_; }

    void skip_to_segment()
    {
        if (pos_ + 5 <= size_ && data_[pos_] == OP_SEGMENT) {
            order_ = u32(pos_ + 1);
            pos_ += 5;
        }
    }

    // The events since the last clock reading get times between it and
    // `now` (or the last reading itself at the end of a segment) and go out.
    void settle(uint64_t now, bool have_now)
    {
        size_t n = pending_.size();
        for (size_t i = 0; i < n; i++) {
            TraceRecord& r = pending_[i];
            r.time_ns = last_time_;
            if (have_now && now > last_time_)
                r.time_ns += (now - last_time_) * i / n;
            out_->put(r);
        }
        pending_.clear();
        proc_texts_.clear();
        if (have_now)
            last_time_ = now;
    }

    // An event of this process, its time not known yet.
    void pend(char kind, uint32_t reg, uint32_t value, int error, std::string_view text = {},
              bool refused = false)
    {
        pending_.push_back(TraceRecord{pid_, 0, kind, reg, value, error, false, refused, text});
    }

    bool record(uint8_t op)
    {
        clean_ = false;
        if (op & OP_ACCESS) {
            if (!have(2))
                return false;
            size_t count = data_[pos_ + 1];
            if (!have(2 + 4 * count))
                return false;
            char kind = (op & OP_ACCESS_WRITE) ? 'W' : 'R';
            uint32_t reg = slots_[op & SLOT_MASK];
            for (size_t i = 0; i < count; i++)
                pend(kind, reg, u32(pos_ + 2 + 4 * i), 0);
            pos_ += 2 + 4 * count;
            return true;
        }
        switch (op) {
        case OP_SLOT:
            if (!have(6))
                return false;
            slots_[data_[pos_ + 1] & SLOT_MASK] = u32(pos_ + 2);
            pos_ += 6;
            return true;
        case OP_TIME: {
            if (!have(9))
                return false;
            uint64_t t;
            std::memcpy(&t, data_ + pos_ + 1, 8);
            settle(t, true);
            pos_ += 9;
            return true;
        }
        case OP_FAIL:
            if (!have(10))
                return false;
            pend(static_cast<char>(data_[pos_ + 1]), u32(pos_ + 2), 0, static_cast<int>(u32(pos_ + 6)));
            pos_ += 10;
            return true;
        case OP_OPEN:
            if (!have(6))
                return false;
            pend('O', 0, 0, static_cast<int>(u32(pos_ + 2)), data_[pos_ + 1] == PATH_PROC ? PROC_PATH : DEVICE_PATH);
            pos_ += 6;
            return true;
        case OP_CLOSE:
            if (!have(2))
                return false;
            pend('C', 0, 0, 0, DEVICE_PATH);
            pos_ += 2;
            return true;
        case OP_PROC: {
            if (!have(6))
                return false;
            bool refused = data_[pos_ + 1] != 0;
            size_t len = u32(pos_ + 2);
            if (!have(6 + len))
                return false;
            proc_buffer(reinterpret_cast<const char*>(data_ + pos_ + 6), len, refused);
            pos_ += 6 + len;
            return true;
        }
        case OP_END:
            pos_ += 1;
            clean_ = true;
            return true;
        default: return false;
        }
    }

    // One write() to the proc file: a line per register write, as the
    // driver saw them. Their texts live until the events go out.
    void proc_buffer(const char* buf, size_t len, bool refused)
    {
        std::vector<ProcLine> lines;
        if (!refused && parse_proc_lines(buf, len, &lines)) {
            for (ProcLine& l : lines)
                pend('P', l.reg, l.value, 0, proc_texts_.emplace_back(std::move(l.text)));
            return;
        }
        for (std::string& text : printable_lines(buf, len))
            pend('P', 0, 0, 0, proc_texts_.emplace_back(std::move(text)), true);
    }

    MappedFile file_;
    const unsigned char* data_ = nullptr;  // file_'s bytes
    size_t size_ = 0;  // 0 for a file cut off before its header
    size_t pos_ = 0;
    int32_t pid_ = 0;
    uint32_t order_ = 0;
    bool clean_ = false;
    uint32_t slots_[SLOTS];
    std::vector<TraceRecord> pending_;  // since the last clock reading
    std::deque<std::string> proc_texts_;  // the texts of pending_'s proc lines
    uint64_t last_time_ = 0;
    TraceWriter* out_ = nullptr;
};

}  // namespace

bool merge_recording(const std::string& dir, const std::string& out_path, MergeResult* result, std::string* err)
{
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        *err = "cannot read " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".rec") == 0)
            names.push_back(name);
        errno = 0;
    }
    // readdir's end and its failure look alike but for errno: a listing
    // cut short must not pass for a session with fewer processes.
    int list_errno = errno;
    ::closedir(d);
    if (list_errno) {
        *err = "cannot list " + dir + ": " + std::strerror(list_errno);
        return false;
    }
    std::sort(names.begin(), names.end());

    std::vector<std::unique_ptr<RecordFile>> files;
    for (const std::string& name : names) {
        auto f = std::make_unique<RecordFile>();
        if (!f->open(dir + "/" + name, err))
            return false;
        files.push_back(std::move(f));
    }

    int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = "cannot write " + out_path + ": " + std::strerror(errno);
        return false;
    }
    TraceWriter out(fd);
    // Segments in the order the processes took turns at the driver.
    for (;;) {
        RecordFile* next = nullptr;
        for (auto& f : files)
            if (!f->done() && (!next || f->order() < next->order()))
                next = f.get();
        if (!next)
            break;
        next->segment(out);
    }
    bool ok = out.flush();
    if (::close(fd) != 0)
        ok = false;
    if (!ok) {
        *err = "cannot write " + out_path + ": " + std::strerror(errno);
        return false;
    }
    for (auto& f : files) {
        if (!f->ended_cleanly())
            result->killed.push_back(static_cast<uint32_t>(f->pid()));
    }
    return true;
}

}  // namespace qxsim
