#include "qxsim/replay/replay.h"

#include "qxsim/driver_abi.h"
#include "qxsim/model/camera/camera.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/fpga/register_map.h"
#include "qxsim/trace/decode_group.h"
#include "qxsim/trace/i2c_analyser.h"
#include "qxsim/trace/mapped_file.h"
#include "qxsim/trace/trace_decoder.h"
#include "qxsim/trace/trace_file.h"
#include "qxsim/trace/trace_format.h"
#include "qxsim/trace/trace_view.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string_view>
#include <unordered_map>
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

// A bounded wait as the tool runs it: at most `reads` status readings, a
// sleep after each busy one; a sector erase's wait is cycles of a
// completion wait of 100 readings and a direct reading, each cycle ending
// in a long sleep.
struct WaitRule {
    const char* name;
    uint32_t reads;       // readings at most, all cycles together
    uint32_t cycle;       // readings per cycle (0: one cycle)
    long sleep_ns;        // after each busy reading
    long cycle_sleep_ns;  // after a cycle's last reading
};
constexpr WaitRule I2C_WAIT = {"I2C idle wait of update and dac", 100, 0, 1000000, 0};
constexpr WaitRule I2C_WAIT_REGDUMP = {"I2C idle wait of regdump", 10, 0, 2000000, 0};
constexpr WaitRule FLASH_WAIT = {"flash completion wait", 100, 0, 10000, 0};
constexpr WaitRule ERASE_WAIT = {"sector erase wait", 50 * 101, 101, 10000, 100000000};

void sleep_ns(long ns)
{
    timespec ts{ns / 1000000000, ns % 1000000000};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Trace text walked line by line.
class TraceText {
public:
    explicit TraceText(std::string_view text) : text_(text) {}
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
    size_t size() const { return text_.size(); }
    const char* data() const { return text_.data(); }

private:
    std::string_view text_;
};

bool parse_line(std::string_view line, TraceRecord* r)
{
    return parse_trace_access(line, r) || parse_trace_line(line, r);
}

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
        if (!parse_line(line, &r))
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
    size_t decode_to = 0;  // the last line of the recorded wait it lies in, or 0
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
// then the raw lines around it with the registers named. The differing
// line is marked with '>'.
void print_context(const TraceText& text, const Difference& d, std::FILE* out)
{
    const size_t DECODE_BACK = 400, DECODE_AFTER = 40, WAIT_AFTER = 6000, ENTRIES = 6, RAW_BACK = 8, RAW_AFTER = 3;
    const size_t line_no = d.line_no, line_pos = d.line_pos;
    const size_t decode_to = std::min(std::max(line_no + DECODE_AFTER, d.decode_to), line_no + WAIT_AFTER);
    size_t back = 0;
    size_t pos = lines_back(text, line_pos, DECODE_BACK, &back);
    size_t first_no = line_no - back;
    TraceDecoder decoder;
    std::string_view line;
    TraceRecord r;
    for (size_t no = first_no; no <= decode_to && text.next(&pos, &line); no++) {
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
        fmt::print(out, "decoded, as recorded:\n");
        size_t from = hit >= ENTRIES ? hit - ENTRIES : 0;
        for (size_t i = from; i <= hit + 1 && i < entries.size(); i++)
            fmt::print(out, "{} {}\n", i == hit ? ">" : " ", format_decoded(entries[i]));
    }

    pos = lines_back(text, line_pos, RAW_BACK, &back);
    size_t no = line_no - back;
    fmt::print(out, "recorded lines around it:\n");
    while (no <= line_no + RAW_AFTER && text.next(&pos, &line)) {
        fmt::print(out, "{} {:7}  {}\n", no == line_no ? ">" : " ", no, trace_view_line(line));
        no++;
    }
}

std::string hex(uint32_t v)
{
    return fmt::format("0x{:08x}", v);
}

// A process of the recording, as its lines show it.
struct Process {
    int32_t pid = 0;
    size_t last_line = 0;  // number and start of its last line so far
    size_t last_pos = 0;
    bool exited = false;   // that line is an exit record
    bool accessed = false;
    // The run of status readings it is in: their register (0: none) and
    // how many so far, this one included.
    uint32_t run_reg = 0;
    uint32_t run_reads = 0;
    int run_end = -1;  // how the recorded run ends, once looked up (a WaitEnd)
    uint32_t flash_cmd = 0;  // the last command it wrote to ASMI_CMD
};

enum WaitEnd { WAIT_DONE, WAIT_GAVE_UP, WAIT_CUT };

class Replayer {
public:
    // `learn_sensor`: the camera was made for this replay and takes the
    // sensor the recording shows.
    Replayer(Camera& cam, const TraceText& text, const TraceFileShape& shape, bool learn_sensor)
        : cam_(cam), text_(text), shape_(shape), learn_sensor_(learn_sensor)
    {
    }

    // Runs the whole trace; false at the first difference (in diff_) or an
    // unreadable line (bad_line_, bad_why_).
    bool run()
    {
        std::string_view line;
        TraceRecord r;
        while ((line_pos_ = pos_, text_.next(&pos_, &line))) {
            line_no_++;
            if (line.empty())
                continue;
            if (!parse_line(line, &r)) {
                bad_line_ = line_no_;
                bad_why_ = "not a trace line";
                return false;
            }
            if (!step(r)) {
                if (bad_line_)
                    return false;
                diff_.line_no = line_no_;
                diff_.line_pos = line_pos_;
                track_rest();
                return false;
            }
        }
        return true;
    }

    const ReplayStats& stats() const { return stats_; }
    const Difference& difference() const { return diff_; }
    size_t bad_line() const { return bad_line_; }
    const char* bad_why() const { return bad_why_; }
    const std::vector<Process>& processes() const { return processes_; }

private:
    Process& process(int32_t pid)
    {
        if (current_ < processes_.size() && processes_[current_].pid == pid)
            return processes_[current_];
        auto it = index_.find(pid);
        if (it == index_.end()) {
            it = index_.emplace(pid, processes_.size()).first;
            processes_.push_back(Process());
            processes_.back().pid = pid;
        }
        current_ = it->second;
        return processes_[current_];
    }

    // The line's process: its last line is this one.
    Process& note(const TraceRecord& r)
    {
        Process& p = process(r.pid);
        p.last_line = line_no_;
        p.last_pos = line_pos_;
        p.exited = r.kind == TRACE_EXIT;
        return p;
    }

    // After a difference: who else has lines, and which of them ended.
    void track_rest()
    {
        size_t pos = pos_;
        size_t line_pos = pos;
        std::string_view line;
        TraceRecord r;
        while ((line_pos = pos, text_.next(&pos, &line))) {
            line_no_++;
            line_pos_ = line_pos;
            if (!line.empty() && parse_line(line, &r) && r.kind != TRACE_COMMENT && r.kind != TRACE_END &&
                r.kind != TRACE_I2C_BUS) {
                Process& p = note(r);
                p.accessed |= r.kind != TRACE_EXIT;
            }
        }
    }

    bool step(const TraceRecord& r)
    {
        if (r.kind == TRACE_COMMENT || r.kind == TRACE_I2C_BUS)
            return true;
        if (r.kind == TRACE_END) {
            if (line_pos_ != shape_.last_pos) {
                bad_line_ = line_no_;
                bad_why_ = "an end mark before the end of the recording";
                return false;
            }
            return true;
        }
        Process& p = note(r);
        if (r.kind == TRACE_EXIT)
            return true;
        p.accessed = true;
        if (r.error || r.killed || r.refused) {
            // refused by the driver or cut off: the hardware never saw it
            stats_.skipped++;
            p.run_reg = 0;
            return true;
        }
        if (r.kind == TRACE_READ)
            return read(p, r);
        p.run_reg = 0;
        switch (r.kind) {
        case TRACE_WRITE: {
            stats_.accesses++;
            if (r.reg == isb_ + I2C_REG_ADDR)
                ident_reg_addr_ = r.value;
            else if (r.reg == ASMI_CMD)
                p.flash_cmd = r.value;
            else if (learn_sensor_ && r.reg == isb_ + I2C_CONTROL && r.value == ident_read_)
                take_recorded_sensor();
            if (int e = cam_.reg_write(r.reg, r.value))
                return differ(fmt::format("W {} {}: the model's driver refused the write (E{})", reg_label(r.reg),
                                          hex(r.value), e));
            return true;
        }
        case TRACE_PROC: {
            stats_.proc_lines++;
            std::string buf(r.text);
            buf += '\n';
            if (int e = cam_.proc_write(buf.data(), buf.size()))
                return differ(fmt::format("P {}: the model's driver refused the line (E{})", r.text, e));
            return true;
        }
        case TRACE_OPEN: {
            bool proc = r.text == PROC_PATH;
            if (int e = proc ? cam_.proc_open() : cam_.device_open())
                return differ(fmt::format("O {}: the model's driver refused the open (E{})", r.text, e));
            return true;
        }
        case TRACE_CLOSE: cam_.device_close(); return true;
        default: return true;
        }
    }

    bool read(Process& p, const TraceRecord& r)
    {
        stats_.accesses++;
        const uint32_t busy = busy_.busy_mask(r.reg);
        if (busy && p.run_reg == r.reg) {
            p.run_reads++;
        } else {
            p.run_reg = busy ? r.reg : 0;
            p.run_reads = 1;
            p.run_end = -1;
        }
        uint32_t v = 0;
        if (int e = cam_.reg_read(r.reg, &v))
            return differ(fmt::format("R {}: the model's driver refused the read (E{})", reg_label(r.reg), e));
        if (!busy || v == r.value)
            return v == r.value || differ(mismatch(r, v));
        const bool rec_busy = (r.value & busy) != 0;
        const bool model_busy = (v & busy) != 0;
        if (rec_busy && !model_busy) {
            // the hardware took longer than the model: timing, if the
            // camera's wait ended done too
            if (p.run_end < 0)
                p.run_end = recorded_wait_end(p, r, busy);
            if (p.run_end == WAIT_GAVE_UP) {
                diff_.decode_to = gave_up_line_;
                return differ(fmt::format("R {}: the camera stayed busy until the tool gave its wait up ({} "
                                          "status readings to line {}); the model is done here ({}): the "
                                          "tool would have gone on",
                                          reg_label(r.reg), gave_up_reads_, gave_up_line_, hex(v)));
            }
            stats_.extra_busy++;
            return true;
        }
        if (!rec_busy && model_busy)
            return poll_model(p, r, busy, v);
        // both busy: the other bits must still agree
        return ((v ^ r.value) & ~busy) == 0 || differ(mismatch(r, v));
    }

    // How the recorded wait that the read at the current line belongs to
    // ends: the process's status readings of that register from here on.
    WaitEnd recorded_wait_end(const Process& p, const TraceRecord& first, uint32_t busy)
    {
        size_t pos = pos_;
        std::string_view line;
        TraceRecord r;
        bool last_busy = (first.value & busy) != 0;
        size_t reads = p.run_reads, no = line_no_, last_no = line_no_;
        WaitEnd end = WAIT_CUT;  // no more lines of the process: it was killed in the wait
        while (text_.next(&pos, &line)) {
            no++;
            if (line.empty() || !parse_line(line, &r) || r.kind == TRACE_COMMENT || r.kind == TRACE_END ||
                r.kind == TRACE_I2C_BUS || r.pid != p.pid)
                continue;
            if (r.kind == TRACE_READ && r.reg == first.reg && !r.error && !r.killed) {
                last_busy = (r.value & busy) != 0;
                reads++;
                last_no = no;
                continue;
            }
            // A failed reading ends the tool's wait as a busy one does.
            end = r.killed ? WAIT_CUT : (last_busy || r.error) ? WAIT_GAVE_UP : WAIT_DONE;
            break;
        }
        if (end == WAIT_CUT && !last_busy)
            end = WAIT_DONE;
        gave_up_reads_ = reads;
        gave_up_line_ = last_no;
        return end;
    }

    // The wait the process is in, as its tool runs it.
    WaitRule wait_rule(const Process& p, uint32_t reg)
    {
        if (reg == ASMI_STATUS)
            return (p.flash_cmd & ~ASMI_IMAGE_DATA) == ASMI_SECTOR_ERASE ? ERASE_WAIT : FLASH_WAIT;
        return drives_more_than_reads(p.pid) ? I2C_WAIT : I2C_WAIT_REGDUMP;
    }

    // The tools are told apart by their traffic: update drives the flash
    // controller, dac writes I2C data words; a process that does neither
    // only reads through the masters, as regdump does.
    bool drives_more_than_reads(int32_t pid)
    {
        if (!tools_known_) {
            tools_known_ = true;
            size_t pos = 0;
            std::string_view line;
            TraceRecord r;
            while (text_.next(&pos, &line)) {
                if (line.empty() || !parse_line(line, &r) || (r.kind != TRACE_READ && r.kind != TRACE_WRITE))
                    continue;
                const int m = I2cAnalyser::master_of(r.reg);
                const bool wr_data =
                    r.kind == TRACE_WRITE && m >= 0 && r.reg == i2c_master_place(static_cast<Bus>(m)).base + I2C_WR_DATA;
                if (wr_data || (r.reg >= ASMI_CMD && r.reg <= ASMI_RECONFIG))
                    not_regdump_.emplace(r.pid, true);
            }
        }
        return not_regdump_.count(pid) != 0;
    }

    // The model stays busy where the camera's wait had ended: poll it as
    // the tool would go on polling, within what is left of its wait.
    bool poll_model(const Process& p, const TraceRecord& r, uint32_t busy, uint32_t v)
    {
        const WaitRule rule = wait_rule(p, r.reg);
        uint32_t n = p.run_reads;  // readings of the wait so far, the model's busy one included
        while (v & busy) {
            if (n >= rule.reads)
                return differ(fmt::format("R {}: the camera's wait ended here ({}), the model stays busy ({}) "
                                          "past the tool's {} ({} status readings): the tool would have given up",
                                          reg_label(r.reg), hex(r.value), hex(v), rule.name, rule.reads));
            sleep_ns(rule.cycle && n % rule.cycle == 0 ? rule.cycle_sleep_ns : rule.sleep_ns);
            n++;
            if (int e = cam_.reg_read(r.reg, &v))
                return differ(fmt::format("R {}: the model's driver refused the read (E{})", reg_label(r.reg), e));
            stats_.model_busy++;
        }
        return v == r.value || differ(mismatch(r, v));
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
        return fmt::format("R {}: the camera read {}, the model reads {} (bits {} differ)", reg_label(r.reg),
                           hex(r.value), hex(v), hex(r.value ^ v));
    }

    bool differ(std::string what)
    {
        diff_.what = std::move(what);
        return false;
    }

    Camera& cam_;
    const TraceText& text_;
    const TraceFileShape& shape_;
    ReplayStats stats_;
    Difference diff_;
    size_t line_no_ = 0;
    size_t bad_line_ = 0;
    const char* bad_why_ = "";
    size_t pos_ = 0;
    size_t line_pos_ = 0;  // start of the line being replayed
    bool learn_sensor_;
    uint32_t ident_reg_addr_ = 0;
    std::vector<Process> processes_;  // in the order of their first line
    std::unordered_map<int32_t, size_t> index_;
    size_t current_ = 0;
    bool tools_known_ = false;
    std::unordered_map<int32_t, bool> not_regdump_;
    size_t gave_up_reads_ = 0, gave_up_line_ = 0;
    const BusyStatuses busy_;
    // The ISB master, and the command word of a read of the identification memory.
    const uint32_t isb_ = i2c_master_place(BUS_ISB).base;
    const uint32_t ident_read_ = with_field(I2C_CMD_READ, I2C_CONTROL_DEV, IDENT_ADDR);
};

std::string how_it_ended(const TraceRecord& end)
{
    if (end.text == "signal") {
        const char* abbrev = ::sigabbrev_np(static_cast<int>(end.value));
        return fmt::format("was killed by signal {}{}", end.value, abbrev ? fmt::format(" (SIG{})", abbrev) : "");
    }
    return fmt::format("ended with exit status {}", end.value);
}

std::string line_at(const TraceText& text, size_t pos)
{
    std::string_view line;
    text.next(&pos, &line);
    return trace_view_line(line);
}

// How the session ended, after the verdict: the recorded command's end
// mark, and each process that left no exit record.
void print_session(const TraceText& text, const TraceFileShape& shape, const std::vector<Process>& processes,
                   std::FILE* out)
{
    if (!shape.versioned) {
        fmt::print(out, "no version line (a camera's trace or an older recording): whether the session is "
                        "complete cannot be checked\n");
        return;
    }
    size_t ended = 0;
    for (const Process& p : processes)
        ended += p.exited;
    fmt::print(out, "session: the recorded command (pid {}) {}; {} process{}, {} with an exit record\n",
               shape.end.pid, how_it_ended(shape.end), processes.size(), processes.size() == 1 ? "" : "es",
               ended);
    for (const Process& p : processes)
        if (!p.exited)
            fmt::print(out, "  pid {} left no exit record (killed): its session ends at line {}: {}\n", p.pid,
                       p.last_line, line_at(text, p.last_pos));
}

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

int replay_text(std::string_view data, const std::string& name, const CameraSource& camera, bool learn_sensor,
                std::FILE* out, std::FILE* err)
{
    const TraceText text(data);
    const TraceFileShape shape = inspect_trace_file(data);
    if (shape.empty || !shape.problem.empty()) {
        fmt::print(err, "qxsim: {}: {}\n", name,
                   shape.empty ? "is empty: no register access or proc line to compare" : shape.problem);
        return 2;
    }
    std::string why;
    Camera* cam = camera(&why);
    if (!cam) {
        fmt::print(err, "qxsim: {}\n", why);
        return 2;
    }
    Replayer replay(*cam, text, shape, learn_sensor);
    const bool agrees = replay.run();
    if (replay.bad_line()) {
        fmt::print(err, "qxsim: {}:{}: {}\n", name, replay.bad_line(), replay.bad_why());
        return 2;
    }
    const ReplayStats& s = replay.stats();
    if (s.accesses + s.proc_lines + s.skipped == 0) {
        std::string ending = shape.versioned ? fmt::format(" (the recorded command, pid {}, {})", shape.end.pid,
                                                           how_it_ended(shape.end))
                                             : "";
        fmt::print(err, "qxsim: {}: no register access or proc line in it{}: nothing to compare\n", name, ending);
        return 2;
    }
    if (agrees) {
        fmt::print(out,
                   "model agrees\n"
                   "  {} register accesses, {} proc lines replayed; {} refused in the recording; "
                   "busy polls told apart as timing: {} recorded beyond the model, {} of the model beyond "
                   "the recording\n",
                   s.accesses, s.proc_lines, s.skipped, s.extra_busy, s.model_busy);
    } else {
        const Difference& d = replay.difference();
        fmt::print(out, "model differs at line {} of {}: {}\n", d.line_no, name, d.what);
        print_context(text, d, out);
    }
    print_session(text, shape, replay.processes(), out);
    return agrees ? 0 : 1;
}

int replay_trace(const std::string& path, const std::string& camera_dir)
{
    MappedFile file;
    std::string err;
    if (!file.open(path, true, &err)) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }
    TempCamera fresh;
    std::unique_ptr<Camera> prepared;
    auto camera = [&](std::string* why) -> Camera* {
        if (!camera_dir.empty()) {
            prepared = Camera::open(camera_dir, why);
            return prepared.get();
        }
        return fresh.create(why) ? fresh.cam.get() : nullptr;
    };
    // What it says waits until the file is known to have held still.
    struct Held {
        char* buf = nullptr;
        size_t len = 0;
        std::FILE* f = nullptr;
        ~Held() { std::free(buf); }
        bool open() { return (f = ::open_memstream(&buf, &len)) != nullptr; }
        void close() { std::fclose(f); }
    } out, errors;
    if (!out.open() || !errors.open()) {
        std::fprintf(stderr, "qxsim: %s\n", std::strerror(errno));
        return 2;
    }
    int status =
        replay_text(std::string_view(file.data(), file.size()), path, camera, camera_dir.empty(), out.f, errors.f);
    out.close();
    errors.close();
    if (file.changed(&err)) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }
    std::fwrite(out.buf, 1, out.len, stdout);
    std::fwrite(errors.buf, 1, errors.len, stderr);
    return status;
}

}  // namespace qxsim
