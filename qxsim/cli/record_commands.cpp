#include "qxsim/cli/paths.h"
#include "qxsim/cli/record_commands.h"

#include "qxsim/cli/qxsim_paths.h"
#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/camera/camera.h"
#include "qxsim/trace/mapped_file.h"
#include "qxsim/model/fpga/i2c_master.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/trace/trace_decoder.h"
#include "qxsim/trace/trace_format.h"
#include "qxsim/record/record_format.h"
#include "qxsim/record/record_merge.h"

#include <fmt/format.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qxsim_cli {

const char record_usage_text[] =
    "  record -o FILE [--sim] -- TOOL [ARGS]\n"
    "                        run a tool and write every access to the camera's driver, with\n"
    "                        the values the hardware returned, to FILE (trace format);\n"
    "                        --sim: the camera of --state stands in for the driver\n"
    "  replay FILE           replay a recorded trace against a fresh camera of the recorded\n"
    "                        sensor (or the camera of --state) and compare every read:\n"
    "                        exit 0 model agrees, 1 differs, 2 unreadable\n";

namespace {

int usage()
{
    std::fputs("usage: qxsim [--state DIR] record -o FILE [--sim] -- TOOL [ARGS]\n"
               "       qxsim [--state DIR] replay FILE\n",
               stderr);
    return 2;
}

// The recording folder: beside the trace, so the bulk lands where the
// user chose to put it. Holds the shared order page and one file per
// process image.
bool make_recording_dir(const std::string& out, std::string* dir)
{
    std::string base = out.find('/') == std::string::npos ? "." : out.substr(0, out.rfind('/'));
    if (base.empty())
        base = "/";
    std::string templ = base + "/.qxsim-record.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (!::mkdtemp(buf.data()))
        return false;
    *dir = qxsim_cli::absolute_path(buf.data());
    qxsim::rec::OrderPage page = {};
    page.magic = qxsim::rec::ORDER_MAGIC;
    int fd = ::open((*dir + "/order").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && ::write(fd, &page, sizeof page) == static_cast<ssize_t>(sizeof page);
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Runs the tool and waits for it; *end says how it ended. Returns its exit
// status (128 + the signal that killed it), 125 when it cannot be started.
int run_recorded(const std::string& dir, bool sim, const std::string& rec_dir,
                 const std::vector<std::string>& argv_in, qxsim::SessionEnd* end)
{
    std::string preload = qxsim_cli::library_path("libqxsim_record.so", QXSIM_RECORD_PATH);
    if (sim)
        preload += ":" + qxsim_cli::library_path("libqxsim_preload.so", QXSIM_PRELOAD_PATH);
    const char* old = ::getenv("LD_PRELOAD");
    if (old && *old)
        preload += ":" + std::string(old);
    std::string tool = qxsim_cli::find_tool(argv_in[0]);
    std::vector<char*> argv = qxsim_cli::exec_argv(tool, argv_in.begin() + 1, argv_in.end());

    // The tool owns the terminal's signals while it runs; the trace is
    // written after it ends, whatever ended it.
    struct sigaction ignore = {}, old_int, old_quit;
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGINT, &ignore, &old_int);
    ::sigaction(SIGQUIT, &ignore, &old_quit);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::sigaction(SIGINT, &old_int, nullptr);
        ::sigaction(SIGQUIT, &old_quit, nullptr);
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv(qxsim::rec::ENV_DIR, rec_dir.c_str(), 1);
        if (sim)
            ::setenv("QXSIM_STATE", qxsim_cli::absolute_path(dir).c_str(), 1);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "qxsim: cannot run %s: %s\n", tool.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    if (pid > 0)
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    end->pid = pid;
    end->time_ns = qxsim::trace_now_ns();
    ::sigaction(SIGINT, &old_int, nullptr);
    ::sigaction(SIGQUIT, &old_quit, nullptr);
    if (pid < 0) {
        std::fprintf(stderr, "qxsim: cannot start %s: %s\n", tool.c_str(), std::strerror(errno));
        end->code = 125;
        return 125;
    }
    end->signaled = WIFSIGNALED(status);
    end->code = end->signaled ? WTERMSIG(status) : WEXITSTATUS(status);
    return end->signaled ? 128 + end->code : end->code;
}

}  // namespace

int cmd_record(const std::string& dir, const std::vector<std::string>& args)
{
    std::string out;
    bool sim = false;
    size_t i = 0;
    for (; i < args.size(); i++) {
        if (args[i] == "-o" && i + 1 < args.size())
            out = args[++i];
        else if (args[i] == "--sim")
            sim = true;
        else if (args[i] == "--") {
            i++;
            break;
        } else
            break;
    }
    if (out.empty() || i >= args.size())
        return usage();
    if (sim) {
        std::string err;
        if (!qxsim::Camera::open(dir, &err)) {
            std::fprintf(stderr, "qxsim: %s\n", err.c_str());
            return 125;
        }
    }
    std::string rec_dir;
    if (!make_recording_dir(out, &rec_dir)) {
        std::fprintf(stderr, "qxsim: cannot make a recording folder beside %s: %s\n", out.c_str(),
                     std::strerror(errno));
        return 125;
    }
    qxsim::SessionEnd end;
    int status = run_recorded(dir, sim, rec_dir, std::vector<std::string>(args.begin() + i, args.end()), &end);

    qxsim::MergeResult result;
    std::string err;
    bool merged = qxsim::merge_recording(rec_dir, out, end, &result, &err);
    std::error_code ec;
    std::filesystem::remove_all(rec_dir, ec);
    if (!merged) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 125;
    }
    for (const std::string& d : result.damaged)
        std::fprintf(stderr, "qxsim: recording file %s\n", d.c_str());
    for (uint32_t pid : result.killed)
        std::fprintf(stderr,
                     "qxsim: process %u was killed: the last accesses it made before it died may be "
                     "missing from %s\n",
                     pid, out.c_str());
    return status;
}

// ---- replay ---------------------------------------------------------------

namespace {

// Status registers whose busy bit tells how long an operation takes: a read
// differing from the recording only there is timing.
struct BusyStatus {
    uint32_t reg;
    uint32_t busy;
};
const BusyStatus busy_status[] = {
    {qxsim::I2C_MAIN_BASE + qxsim::I2C_STATUS, qxsim::I2C_STATUS_BUSY},
    {qxsim::I2C_ISB_BASE + qxsim::I2C_STATUS, qxsim::I2C_STATUS_BUSY},
    {qxsim::I2C_IOB_BASE + qxsim::I2C_STATUS, qxsim::I2C_STATUS_BUSY},
    {qxsim::ASMI_STATUS, qxsim::ASMI_STATUS_BUSY},
};

uint32_t busy_mask(uint32_t reg)
{
    for (const BusyStatus& b : busy_status)
        if (b.reg == reg)
            return b.busy;
    return 0;
}

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
    qxsim::MappedFile file_;
};

// The sensor code bytes (identification memory registers 4..7, device 0x50
// on the ISB master) as the recorded session read them, looking ahead from
// the read command at `pos`; `reg_addr` is the register address last
// written to that master. Bit n of the result's mask: register 4 + n known.
struct SensorBytes {
    uint8_t value[4] = {};
    unsigned known = 0;
};

constexpr uint32_t IDENT_BASE = qxsim::I2C_ISB_BASE;
constexpr uint32_t IDENT_READ = (0x50u << 12) | qxsim::I2C_CMD_READ;

SensorBytes recorded_sensor(const TraceText& text, size_t pos, uint32_t reg_addr)
{
    const size_t LOOKAHEAD = 4096;  // lines: a tool reads the four at once
    SensorBytes out;
    uint32_t pending = 0;
    bool reading = false;
    std::string_view line;
    qxsim::TraceRecord r;
    for (size_t n = 0; n < LOOKAHEAD && out.known != 0xF && text.next(&pos, &line); n++) {
        if (!qxsim::parse_trace_access(line, &r) && (!qxsim::parse_trace_line(line, &r) || r.error || r.killed))
            continue;
        if (r.kind == 'W' && r.reg == IDENT_BASE + qxsim::I2C_REG_ADDR)
            reg_addr = r.value;
        else if (r.kind == 'W' && r.reg == IDENT_BASE + qxsim::I2C_CONTROL) {
            reading = r.value == IDENT_READ;
            pending = reg_addr;
        } else if (r.kind == 'R' && r.reg == IDENT_BASE + qxsim::I2C_RD_DATA && reading) {
            if (pending >= 4 && pending <= 7) {
                out.value[pending - 4] = static_cast<uint8_t>(r.value);
                out.known |= 1u << (pending - 4);
            }
            reading = false;
        }
    }
    return out;
}

struct ReplayStats {
    uint64_t accesses = 0;
    uint64_t proc_lines = 0;
    uint64_t skipped = 0;       // failed or killed in the recording: never reached the hardware
    uint64_t extra_busy = 0;    // busy readings of the recording the model did not need
    uint64_t model_busy = 0;    // polls the model needed beyond the recording
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
    qxsim::TraceDecoder decoder;
    std::string_view line;
    qxsim::TraceRecord r;
    for (size_t no = first_no; no <= line_no + DECODE_AFTER && text.next(&pos, &line); no++) {
        if (qxsim::parse_trace_line(line, &r))
            decoder.feed(r);
        else
            decoder.feed_bad_line(line);
    }
    decoder.finish();
    std::vector<qxsim::DecodedEntry> entries = decoder.take();
    size_t index = back;  // the differing record in the decoder's input
    size_t hit = entries.size();
    for (size_t i = 0; i < entries.size(); i++)
        if (entries[i].first <= index && index <= entries[i].last)
            hit = i;
    if (hit < entries.size()) {
        std::printf("decoded, as recorded:\n");
        size_t from = hit >= ENTRIES ? hit - ENTRIES : 0;
        for (size_t i = from; i <= hit + 1 && i < entries.size(); i++)
            std::printf("%s %s\n", i == hit ? ">" : " ", qxsim::format_decoded(entries[i]).c_str());
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
    Replayer(qxsim::Camera& cam, const TraceText& text, bool fresh) : cam_(cam), text_(text), learn_sensor_(fresh) {}

    // Runs the whole trace; false at the first difference (in diff_) or an
    // unreadable line (in bad_line_).
    bool run()
    {
        std::string_view line;
        qxsim::TraceRecord r;
        while ((line_pos_ = pos_, text_.next(&pos_, &line))) {
            line_no_++;
            if (line.empty())
                continue;
            if (!qxsim::parse_trace_access(line, &r) && !qxsim::parse_trace_line(line, &r)) {
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
    bool step(const qxsim::TraceRecord& r)
    {
        if (r.error || r.killed || r.refused) {
            // refused by the driver or cut off: the hardware never saw it
            stats_.skipped++;
            return true;
        }
        switch (r.kind) {
        case 'W': {
            stats_.accesses++;
            if (r.reg == IDENT_BASE + qxsim::I2C_REG_ADDR)
                ident_reg_addr_ = r.value;
            else if (learn_sensor_ && r.reg == IDENT_BASE + qxsim::I2C_CONTROL && r.value == IDENT_READ)
                take_recorded_sensor();
            if (int e = cam_.reg_write(r.reg, r.value))
                return differ(fmt::format("W {} {}: the model's driver refused the write (E{})", hex(r.reg),
                                          hex(r.value), e));
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
            bool proc = r.text == "/proc/qx_pci/regs";
            if (int e = proc ? cam_.proc_open() : cam_.device_open())
                return differ(fmt::format("O {}: the model's driver refused the open (E{})", r.text, e));
            return true;
        }
        case 'C': cam_.device_close(); return true;
        default: return true;
        }
    }

    bool read(const qxsim::TraceRecord& r)
    {
        uint32_t v = 0;
        if (int e = cam_.reg_read(r.reg, &v))
            return differ(fmt::format("R {}: the model's driver refused the read (E{})", hex(r.reg), e));
        uint32_t busy = busy_mask(r.reg);
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
            const uint64_t deadline = qxsim::trace_now_ns() + static_cast<uint64_t>(BUSY_LIMIT_S * 1e9);
            unsigned n = 0;
            while (v & busy) {
                if ((++n & 1023) == 0 && qxsim::trace_now_ns() > deadline)
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
        SensorBytes b = recorded_sensor(text_, line_pos_, ident_reg_addr_);
        auto lock = cam_.lock();
        for (unsigned i = 0; i < 4; i++)
            if (b.known & (1u << i))
                cam_.ident().set_register(static_cast<uint8_t>(4 + i), b.value[i]);
    }
    static std::string mismatch(const qxsim::TraceRecord& r, uint32_t v)
    {
        return fmt::format("R {}: the camera read {}, the model reads {} (bits {} differ)", hex(r.reg),
                           hex(r.value), hex(v), hex(r.value ^ v));
    }

    bool differ(std::string what)
    {
        diff_.what = std::move(what);
        return false;
    }

    qxsim::Camera& cam_;
    const TraceText& text_;
    ReplayStats stats_;
    Difference diff_;
    size_t line_no_ = 0;
    size_t bad_line_ = 0;
    size_t pos_ = 0;
    size_t line_pos_ = 0;  // start of the line being replayed
    bool learn_sensor_;
    uint32_t ident_reg_addr_ = 0;
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
        qxsim::CreateOptions options;
        options.force = true;
        if (!qxsim::Camera::create(dir, options, err))
            return false;
        cam = qxsim::Camera::open(dir, err);
        return cam != nullptr;
    }
    std::string dir;
    std::unique_ptr<qxsim::Camera> cam;
};

}  // namespace

int cmd_replay(const std::string& dir, bool explicit_state, const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return usage();
    const std::string& path = args[0];
    TraceText text;
    std::string err;
    if (!text.open(path, &err)) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }
    TempCamera fresh;
    std::unique_ptr<qxsim::Camera> prepared;
    qxsim::Camera* cam = nullptr;
    if (explicit_state) {
        prepared = qxsim::Camera::open(dir, &err);
        cam = prepared.get();
    } else if (fresh.create(&err)) {
        cam = fresh.cam.get();
    }
    if (!cam) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }

    Replayer replay(*cam, text, !explicit_state);
    bool agrees = replay.run();
    if (replay.bad_line()) {
        std::fprintf(stderr, "qxsim: %s:%zu: not a trace line\n", path.c_str(), replay.bad_line());
        return 2;
    }
    const ReplayStats& s = replay.stats();
    if (agrees) {
        std::printf("model agrees\n"
                    "  %llu register accesses, %llu proc lines replayed; %llu refused in the recording; "
                    "busy polls told apart as timing: %llu recorded beyond the model, %llu of the model beyond "
                    "the recording\n",
                    static_cast<unsigned long long>(s.accesses), static_cast<unsigned long long>(s.proc_lines),
                    static_cast<unsigned long long>(s.skipped), static_cast<unsigned long long>(s.extra_busy),
                    static_cast<unsigned long long>(s.model_busy));
        return 0;
    }
    const Difference& d = replay.difference();
    std::printf("model differs at line %zu of %s: %s\n", d.line_no, path.c_str(), d.what.c_str());
    print_context(text, d.line_no, d.line_pos);
    return 1;
}

}  // namespace qxsim_cli
