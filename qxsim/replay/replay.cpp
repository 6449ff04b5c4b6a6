#include "qxsim/replay/replay.h"

#include "qxsim/driver_abi.h"
#include "qxsim/model/camera/camera.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/fpga/register_map.h"
#include "qxsim/trace/i2c_analyser.h"
#include "qxsim/trace/mapped_file.h"
#include "qxsim/trace/trace_decoder.h"
#include "qxsim/trace/trace_format.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace qxsim {

namespace {

// Status registers whose busy bit tells how long an operation takes: a read
// differing from the recording only there is timing. Each I2C master's
// I2C_STATUS and ASMI_STATUS.
struct BusyStatus {
    uint32_t reg = 0;
    uint32_t busy = 0;
};
struct BusyStatuses {
    BusyStatus status[BUS_COUNT + 1];
    BusyStatuses()
    {
        for (unsigned b = 0; b < BUS_COUNT; b++)
            status[b] = {i2c_master_place(static_cast<Bus>(b)).base + I2C_STATUS, I2C_STATUS_BUSY};
        status[BUS_COUNT] = {ASMI_STATUS, ASMI_STATUS_BUSY};
    }
    uint32_t busy_mask(uint32_t reg) const
    {
        for (const BusyStatus& b : status)
            if (b.reg == reg)
                return b.busy;
        return 0;
    }
};

// How long the model may stay busy beyond the recording before that counts
// as a difference (datasheet timing makes a sector erase take 250 ms).
constexpr double BUSY_LIMIT_S = 5.0;

// A trace file mapped into memory, walked line by line.
class TraceText {
public:
    bool open(const std::string& path, std::string* err) { return file_.open(path, true, err); }
    // The line starting at `pos` (without its newline); pos moves past it.
    bool next(size_t* pos, std::string_view* line) const
    {
        if (*pos >= size())
            return false;
        const char* start = data() + *pos;
        const char* nl = static_cast<const char*>(std::memchr(start, '\n', size() - *pos));
        size_t len = nl ? static_cast<size_t>(nl - start) : size() - *pos;
        *line = std::string_view(start, len);
        *pos += len + (nl ? 1 : 0);
        return true;
    }
    size_t size() const { return file_.size(); }
    const char* data() const { return file_.data(); }

private:
    MappedFile file_;
};

// The sensor code bytes (identification memory registers 4..7) as the
// recorded session read them through the ISB master, found by the I2C
// analyser in the lines from `pos` on; `reg_addr` is what the master's
// I2C_REG_ADDR held before them. Bit n of `known`: register 4 + n read.
struct SensorBytes : I2cAnalyser::Sink {
    uint8_t value[4] = {};
    unsigned known = 0;

    void finished(I2cTransaction& t) override
    {
        const uint32_t reg = t.dev_reg & 0xFF;
        if (t.bus == BUS_ISB && t.is_read() && t.dev() == IDENT_ADDR && t.have_rd && reg >= IDENT_CODE_REG &&
            reg < IDENT_CODE_REG + 4) {
            value[reg - IDENT_CODE_REG] = static_cast<uint8_t>(t.rd);
            known |= 1u << (reg - IDENT_CODE_REG);
        }
    }
};

void recorded_sensor(const TraceText& text, size_t pos, uint32_t reg_addr, SensorBytes* out)
{
    const size_t LOOKAHEAD = 4096;  // lines: a tool reads the four at once
    I2cAnalyser i2c(*out);
    i2c.preset(BUS_ISB, reg_addr, 0);
    const uint32_t base = i2c_master_place(BUS_ISB).base;
    std::string_view line;
    TraceRecord r;
    for (size_t n = 0; n < LOOKAHEAD && out->known != 0xF && text.next(&pos, &line); n++) {
        if (!parse_trace_access(line, &r) && !parse_trace_line(line, &r))
            continue;
        if (!r.error && !r.killed && r.reg >= base && r.reg <= base + I2C_RD_DATA &&
            (r.kind == TRACE_READ || r.kind == TRACE_WRITE))
            i2c.access(r.pid, BUS_ISB, r, n);
    }
    i2c.close_all();
}

struct ReplayStats {
    uint64_t accesses = 0;
    uint64_t proc_lines = 0;
    uint64_t skipped = 0;     // failed or killed in the recording: never reached the hardware
    uint64_t extra_busy = 0;  // busy readings of the recording the model did not need
    uint64_t model_busy = 0;  // polls the model needed beyond the recording
};

struct Difference {
    size_t line_no = 0;
    size_t line_pos = 0;
    std::string what;
};

// Start of the line `back` lines before the one at `line_pos` (or of the
// first line); *got says how many lines back that is.
size_t lines_back(const TraceText& text, size_t line_pos, size_t back, size_t* got)
{
    size_t start = line_pos;
    *got = 0;
    while (start > 0 && *got < back) {
        start--;
        while (start > 0 && text.data()[start - 1] != '\n')
            start--;
        (*got)++;
    }
    return start;
}

// Context of a difference: what the recorded session was doing, decoded
// (I2C transactions, flash operations) from a stretch of lines before it,
// then the raw lines around it. The differing line is marked with '>'.
void print_context(const TraceText& text, size_t line_no, size_t line_pos)
{
    const size_t DECODE_BACK = 400, DECODE_AFTER = 40, ENTRIES = 6, RAW_BACK = 8, RAW_AFTER = 3;
    size_t back = 0;
    size_t pos = lines_back(text, line_pos, DECODE_BACK, &back);
    size_t first_no = line_no - back;
    TraceDecoder decoder;
    std::string_view line;
    TraceRecord r;
    for (size_t no = first_no; no <= line_no + DECODE_AFTER && text.next(&pos, &line); no++) {
        if (parse_trace_line(line, &r))
            decoder.feed(r);
        else
            decoder.feed_bad_line(line);
    }
    decoder.finish();
    std::vector<DecodedEntry> entries = decoder.take();
    size_t index = back;  // the differing record in the decoder's input
    size_t hit = entries.size();
    for (size_t i = 0; i < entries.size(); i++)
        if (entries[i].first <= index && index <= entries[i].last)
            hit = i;
    if (hit < entries.size()) {
        std::printf("decoded, as recorded:\n");
        size_t from = hit >= ENTRIES ? hit - ENTRIES : 0;
        for (size_t i = from; i <= hit + 1 && i < entries.size(); i++)
            std::printf("%s %s\n", i == hit ? ">" : " ", format_decoded(entries[i]).c_str());
    }

    pos = lines_back(text, line_pos, RAW_BACK, &back);
    size_t no = line_no - back;
    std::printf("recorded lines around it:\n");
    while (no <= line_no + RAW_AFTER && text.next(&pos, &line)) {
        std::printf("%s %7zu  %.*s\n", no == line_no ? ">" : " ", no, static_cast<int>(line.size()), line.data());
        no++;
    }
}

std::string hex(uint32_t v)
{
    return fmt::format("0x{:08x}", v);
}

class Replayer {
public:
    // `fresh`: the camera was made for this replay and takes the sensor the
    // recording shows.
    Replayer(Camera& cam, const TraceText& text, bool fresh) : cam_(cam), text_(text), learn_sensor_(fresh) {}

    // Runs the whole trace; false at the first difference (in diff_) or an
    // unreadable line (in bad_line_).
    bool run()
    {
        std::string_view line;
        TraceRecord r;
        while ((line_pos_ = pos_, text_.next(&pos_, &line))) {
            line_no_++;
            if (line.empty())
                continue;
            if (!parse_trace_access(line, &r) && !parse_trace_line(line, &r)) {
                bad_line_ = line_no_;
                return false;
            }
            if (!step(r)) {
                diff_.line_no = line_no_;
                diff_.line_pos = line_pos_;
                return false;
            }
        }
        return true;
    }

    const ReplayStats& stats() const { return stats_; }
    const Difference& difference() const { return diff_; }
    size_t bad_line() const { return bad_line_; }

private:
    bool step(const TraceRecord& r)
    {
        if (r.error || r.killed || r.refused) {
            // refused by the driver or cut off: the hardware never saw it
            stats_.skipped++;
            return true;
        }
        switch (r.kind) {
        case 'W': {
            stats_.accesses++;
            if (r.reg == isb_ + I2C_REG_ADDR)
                ident_reg_addr_ = r.value;
            else if (learn_sensor_ && r.reg == isb_ + I2C_CONTROL && r.value == ident_read_)
                take_recorded_sensor();
            if (int e = cam_.reg_write(r.reg, r.value))
                return differ(
                    fmt::format("W {} {}: the model's driver refused the write (E{})", hex(r.reg), hex(r.value), e));
            return true;
        }
        case 'R': stats_.accesses++; return read(r);
        case 'P': {
            stats_.proc_lines++;
            std::string buf(r.text);
            buf += '\n';
            if (int e = cam_.proc_write(buf.data(), buf.size()))
                return differ(fmt::format("P {}: the model's driver refused the line (E{})", r.text, e));
            return true;
        }
        case 'O': {
            bool proc = r.text == PROC_PATH;
            if (int e = proc ? cam_.proc_open() : cam_.device_open())
                return differ(fmt::format("O {}: the model's driver refused the open (E{})", r.text, e));
            return true;
        }
        case 'C': cam_.device_close(); return true;
        default: return true;
        }
    }

    bool read(const TraceRecord& r)
    {
        uint32_t v = 0;
        if (int e = cam_.reg_read(r.reg, &v))
            return differ(fmt::format("R {}: the model's driver refused the read (E{})", hex(r.reg), e));
        uint32_t busy = busy_.busy_mask(r.reg);
        if (!busy || v == r.value)
            return v == r.value || differ(mismatch(r, v));
        bool rec_busy = (r.value & busy) != 0;
        bool model_busy = (v & busy) != 0;
        if (rec_busy && !model_busy) {
            // the hardware took longer than the model: an extra poll
            stats_.extra_busy++;
            return true;
        }
        if (!rec_busy && model_busy) {
            // the model takes longer than the hardware did: poll it
            const uint64_t deadline = trace_now_ns() + static_cast<uint64_t>(BUSY_LIMIT_S * 1e9);
            unsigned n = 0;
            while (v & busy) {
                if ((++n & 1023) == 0 && trace_now_ns() > deadline)
                    return differ(fmt::format("R {}: the model stays busy ({}) for more than {:.0f} s where "
                                              "the camera read {}",
                                              hex(r.reg), hex(v), BUSY_LIMIT_S, hex(r.value)));
                if (int e = cam_.reg_read(r.reg, &v))
                    return differ(fmt::format("R {}: the model's driver refused the read (E{})", hex(r.reg), e));
                stats_.model_busy++;
            }
            return v == r.value || differ(mismatch(r, v));
        }
        // both busy: the other bits must still agree
        return ((v ^ r.value) & ~busy) == 0 || differ(mismatch(r, v));
    }

    // A fresh camera gets the sensor of the recorded camera before the
    // session first reads the identification memory.
    void take_recorded_sensor()
    {
        learn_sensor_ = false;
        SensorBytes b;
        recorded_sensor(text_, line_pos_, ident_reg_addr_, &b);
        auto lock = cam_.lock();
        for (unsigned i = 0; i < 4; i++)
            if (b.known & (1u << i))
                cam_.ident().set_register(static_cast<uint8_t>(IDENT_CODE_REG + i), b.value[i]);
    }
    static std::string mismatch(const TraceRecord& r, uint32_t v)
    {
        return fmt::format("R {}: the camera read {}, the model reads {} (bits {} differ)", hex(r.reg), hex(r.value),
                           hex(v), hex(r.value ^ v));
    }

    bool differ(std::string what)
    {
        diff_.what = std::move(what);
        return false;
    }

    Camera& cam_;
    const TraceText& text_;
    ReplayStats stats_;
    Difference diff_;
    size_t line_no_ = 0;
    size_t bad_line_ = 0;
    size_t pos_ = 0;
    size_t line_pos_ = 0;  // start of the line being replayed
    bool learn_sensor_;
    uint32_t ident_reg_addr_ = 0;
    const BusyStatuses busy_;
    // The ISB master, and the command word of a read of the identification memory.
    const uint32_t isb_ = i2c_master_place(BUS_ISB).base;
    const uint32_t ident_read_ = with_field(I2C_CMD_READ, I2C_CONTROL_DEV, IDENT_ADDR);
};

// A fresh camera in a temporary folder, removed again at the end.
class TempCamera {
public:
    ~TempCamera()
    {
        cam.reset();
        if (!dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    }
    bool create(std::string* err)
    {
        const char* tmp = ::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qxsim-replay.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back(0);
        if (!::mkdtemp(buf.data())) {
            *err = "cannot make a camera folder: " + std::string(std::strerror(errno));
            return false;
        }
        dir = buf.data();
        CreateOptions options;
        options.force = true;
        if (!Camera::create(dir, options, err))
            return false;
        cam = Camera::open(dir, err);
        return cam != nullptr;
    }
    std::string dir;
    std::unique_ptr<Camera> cam;
};

}  // namespace

int replay_trace(const std::string& path, const std::string& camera_dir)
{
    TraceText text;
    std::string err;
    if (!text.open(path, &err)) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }
    TempCamera fresh;
    std::unique_ptr<Camera> prepared;
    Camera* cam = nullptr;
    if (!camera_dir.empty()) {
        prepared = Camera::open(camera_dir, &err);
        cam = prepared.get();
    } else if (fresh.create(&err)) {
        cam = fresh.cam.get();
    }
    if (!cam) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }

    Replayer replay(*cam, text, camera_dir.empty());
    bool agrees = replay.run();
    if (replay.bad_line()) {
        std::fprintf(stderr, "qxsim: %s:%zu: not a trace line\n", path.c_str(), replay.bad_line());
        return 2;
    }
    const ReplayStats& s = replay.stats();
    if (agrees) {
        fmt::print("model agrees\n"
                   "  {} register accesses, {} proc lines replayed; {} refused in the recording; "
                   "busy polls told apart as timing: {} recorded beyond the model, {} of the model beyond "
                   "the recording\n",
                   s.accesses, s.proc_lines, s.skipped, s.extra_busy, s.model_busy);
        return 0;
    }
    const Difference& d = replay.difference();
    fmt::print("model differs at line {} of {}: {}\n", d.line_no, path, d.what);
    print_context(text, d.line_no, d.line_pos);
    return 1;
}

}  // namespace qxsim
