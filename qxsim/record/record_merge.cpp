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

// Errno values the trace format carries (its parser's bound).
constexpr uint32_t ERRNO_MAX = 100000;

// One process image's file, read record by record.
class RecordFile {
public:
    bool open(const std::string& path, std::string* err)
    {
        name_ = path.substr(path.rfind('/') + 1);
        if (!file_.open(path, false, err)) {
            *err = err->substr(std::min(err->size(), path.size() + 2));  // the reason, without the path
            return false;
        }
        data_ = reinterpret_cast<const unsigned char*>(file_.data());
        size_ = file_.size();
        if (size_ < sizeof(FileHeader)) {
            // killed between creating its file and writing the header
            pid_ = static_cast<int32_t>(std::atoi(name_.c_str()));
            size_ = 0;
            return true;
        }
        FileHeader h;
        std::memcpy(&h, data_, sizeof h);
        if (std::memcmp(h.magic, MAGIC, sizeof MAGIC) != 0) {
            *err = "not a recording of this recorder";
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
    const std::string& name() const { return name_; }
    // Where and how the file is damaged; empty when it is whole.
    const std::string& damage() const { return damage_; }
    // The file shrank or was replaced while it was read.
    bool changed(std::string* what) const { return file_.changed(what); }

    // Emits this file's current segment, up to the next SEGMENT record.
    void segment(TraceWriter& out)
    {
        out_ = &out;
        while (pos_ < size_) {
            uint8_t op = data_[pos_];
            if (op == OP_SEGMENT && have(5))
                break;
            if (!record(op)) {
                // What is whole was read; the rest cannot be trusted.
                damage_ = fmt_damage(op);
                pos_ = size_;
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
    // Written so that no sum can wrap, on 32-bit machines too: pos_ <= size_.
    bool have(size_t n) const { return n <= size_ - pos_; }
    bool have(size_t head, uint32_t more) const { return have(head) && more <= size_ - pos_ - head; }
    std::string fmt_damage(uint8_t op) const
    {
        char what[96];
        std::snprintf(what, sizeof what, "%s at byte %zu (record 0x%02x)", cut_short(op) ? "cut short" : "damaged",
                      pos_, op);
        return what;
    }

    // A known record whose own length runs past the end of the file: the
    // file ends inside it, rather than holding something no recorder writes.
    bool cut_short(uint8_t op) const
    {
        if (op & OP_ACCESS)
            return !have(2) || !have(2 + 4 * size_t(data_[pos_ + 1]));
        switch (op) {
        case OP_SLOT: return !have(6);
        case OP_TIME:
        case OP_TIME_LAST: return !have(9);
        case OP_SEGMENT: return !have(5);
        case OP_FAIL: return !have(10);
        case OP_OPEN: return !have(6);
        case OP_CLOSE: return !have(2);
        case OP_PROC: return !have(6) || !have(6, u32(pos_ + 2));
        case OP_END: return !have(6);
        default: return false;
        }
    }

    void skip_to_segment()
    {
        if (have(5) && data_[pos_] == OP_SEGMENT) {
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

    // The events since the last reading end at `t`, the last of them at `t`
    // exactly (OP_TIME_LAST).
    void settle_last(uint64_t t)
    {
        size_t n = pending_.size();
        for (size_t i = 0; i < n; i++) {
            TraceRecord& r = pending_[i];
            r.time_ns = last_time_;
            if (t > last_time_ && n > 1)
                r.time_ns += (t - last_time_) * i / (n - 1);
            else if (t > last_time_)
                r.time_ns = t;
            out_->put(r);
        }
        pending_.clear();
        proc_texts_.clear();
        last_time_ = t;
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
            if (count == 0 || !have(2 + 4 * count))
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
        case OP_TIME:
        case OP_TIME_LAST: {
            if (!have(9))
                return false;
            uint64_t t;
            std::memcpy(&t, data_ + pos_ + 1, 8);
            if (op == OP_TIME)
                settle(t, true);
            else
                settle_last(t);
            pos_ += 9;
            return true;
        }
        case OP_FAIL: {
            if (!have(10))
                return false;
            // Only what the trace format can carry: a read or a write, and
            // an errno its parser takes.
            char kind = static_cast<char>(data_[pos_ + 1]);
            uint32_t err = u32(pos_ + 6);
            if ((kind != TRACE_READ && kind != TRACE_WRITE) || err == 0 || err > ERRNO_MAX)
                return false;
            pend(kind, u32(pos_ + 2), 0, static_cast<int>(err));
            pos_ += 10;
            return true;
        }
        case OP_OPEN: {
            if (!have(6))
                return false;
            uint8_t path = data_[pos_ + 1];
            uint32_t err = u32(pos_ + 2);
            if ((path != PATH_DEVICE && path != PATH_PROC) || err > ERRNO_MAX)
                return false;
            pend('O', 0, 0, static_cast<int>(err), path == PATH_PROC ? PROC_PATH : DEVICE_PATH);
            pos_ += 6;
            return true;
        }
        case OP_CLOSE:
            if (!have(2) || data_[pos_ + 1] != PATH_DEVICE)
                return false;
            pend('C', 0, 0, 0, DEVICE_PATH);
            pos_ += 2;
            return true;
        case OP_PROC: {
            if (!have(6))
                return false;
            bool refused = data_[pos_ + 1] != 0;
            uint32_t len = u32(pos_ + 2);
            if (!have(6, len))
                return false;
            proc_buffer(reinterpret_cast<const char*>(data_ + pos_ + 6), len, refused);
            pos_ += 6 + size_t(len);
            return true;
        }
        case OP_END: {
            if (!have(6) || data_[pos_ + 1] > END_EXEC)
                return false;
            bool exec = data_[pos_ + 1] == END_EXEC;
            pend(TRACE_EXIT, 0, exec ? 0 : u32(pos_ + 2), 0, exec ? "exec" : "exit");
            pos_ += 6;
            clean_ = true;
            return true;
        }
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
    std::string name_;
    std::string damage_;
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

bool merge_recording(const std::string& dir, const std::string& out_path, const SessionEnd& end,
                     MergeResult* result, std::string* err)
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

    // Every file that can be read takes part; one that cannot is named.
    std::vector<std::unique_ptr<RecordFile>> files;
    for (const std::string& name : names) {
        auto f = std::make_unique<RecordFile>();
        std::string why;
        if (f->open(dir + "/" + name, &why))
            files.push_back(std::move(f));
        else
            result->damaged.push_back(name + ": left out, " + why);
    }

    int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = "cannot write " + out_path + ": " + std::strerror(errno);
        return false;
    }
    TraceWriter out(fd);
    TraceRecord version;
    version.kind = TRACE_COMMENT;
    version.text = RECORDING_VERSION_LINE + 2;
    out.put(version);
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
    TraceRecord mark;
    mark.pid = end.pid;
    mark.time_ns = end.time_ns;
    mark.kind = TRACE_END;
    mark.text = end.signaled ? "signal" : "exit";
    mark.value = static_cast<uint32_t>(end.code);
    out.put(mark);
    bool ok = out.flush();
    if (::close(fd) != 0)
        ok = false;
    if (!ok) {
        *err = "cannot write " + out_path + ": " + std::strerror(errno);
        return false;
    }
    for (auto& f : files) {
        std::string what;
        if (f->changed(&what))
            result->damaged.push_back(f->name() + what.substr(what.rfind(':')) + "; its lines may be wrong");
        else if (!f->damage().empty())
            result->damaged.push_back(f->name() + ": " + f->damage() + "; read up to there");
        else if (!f->ended_cleanly())
            result->killed.push_back(static_cast<uint32_t>(f->pid()));
    }
    return true;
}

}  // namespace qxsim
