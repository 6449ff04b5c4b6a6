#include "qxsim/cli/trace_tools.h"

#include "qxsim/model/camera/camera.h"
#include "qxsim/trace/collapse.h"
#include "qxsim/trace/mapped_file.h"
#include "qxsim/cli/trace_view.h"
#include "qxsim/trace/trace_file.h"
#include "qxsim/trace/parse.h"
#include "qxsim/trace/trace_decoder.h"
#include "qxsim/trace/vcd_export.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace qxsim_cli {

const char trace_tools_usage_text[] =
    "  trace show [--decode [--follow] [--pid P] [--block NAME] [--collapse]] [FILE]\n"
    "                        FILE: a trace or recording instead of the camera's trace (no\n"
    "                        camera needed); --decode: as a protocol analyser lists it;\n"
    "                        --follow: go on printing entries as tools run (as tail -f);\n"
    "                        --pid, --block: only one process's or block's entries;\n"
    "                        --collapse: runs of page programs, reads and sector erases\n"
    "                        at consecutive addresses on one line each\n"
    "  trace export --vcd OUT [--trace FILE] [--from T] [--to T] [--pid P]\n"
    "                        the trace (or the recording FILE) as a Value Change Dump for\n"
    "                        GTKWave and sigrok: I2C lines at 400 kHz, flash signals; T in\n"
    "                        seconds of the trace's clock, OUT '-' for standard output\n";

namespace {

int usage()
{
    std::fputs(trace_tools_usage_text, stderr);
    return 2;
}

// "12", "12.5", "12.000123456": seconds to nanoseconds.
bool parse_seconds(const std::string& text, uint64_t* ns)
{
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot);
    std::string frac = dot == std::string::npos ? "" : text.substr(dot + 1);
    uint32_t s = 0;
    if (whole.empty() || whole.find_first_not_of("0123456789") != std::string::npos || frac.size() > 9 ||
        frac.find_first_not_of("0123456789") != std::string::npos || !qxsim::parse_u32(whole, &s))
        return false;
    frac.resize(9, '0');
    *ns = static_cast<uint64_t>(s) * 1000000000u + std::stoull(frac);
    return true;
}

bool parse_pid(const std::string& text, int32_t* pid)
{
    uint32_t v = 0;
    if (!qxsim::parse_u32(text, &v) || v > 0x7FFFFFFF)
        return false;
    *pid = static_cast<int32_t>(v);
    return true;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "qxsim: %s\n", message.c_str());
    return 1;
}

}  // namespace

int cmd_trace_export(const std::string& dir, const std::vector<std::string>& args)
{
    std::string out_path, trace_path;
    qxsim::VcdOptions options;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        if (i + 1 >= args.size())
            return usage();
        const std::string& v = args[++i];
        if (a == "--vcd")
            out_path = v;
        else if (a == "--trace")
            trace_path = v;
        else if (a == "--from" && parse_seconds(v, &options.from_ns))
            continue;
        else if (a == "--to" && parse_seconds(v, &options.to_ns))
            continue;
        else if (a == "--pid" && parse_pid(v, &options.pid))
            options.one_pid = true;
        else
            return usage();
    }
    if (out_path.empty() || options.from_ns > options.to_ns)
        return usage();
    std::string err;
    if (trace_path.empty()) {
        std::unique_ptr<qxsim::Camera> cam = qxsim::Camera::open(dir, &err);
        if (!cam)
            return fail(err);
        trace_path = cam->trace_file();
        options.source = "the trace of the camera in " + dir;
    } else {
        options.source = trace_path;
    }
    qxsim::MappedFile trace;
    if (!trace.open(trace_path, true, &err))
        return fail(err);
    bool to_stdout = out_path == "-";
    std::FILE* out = to_stdout ? stdout : std::fopen(out_path.c_str(), "w");
    if (!out)
        return fail("cannot write " + out_path + ": " + std::strerror(errno));
    qxsim::VcdSummary sum;
    bool ok = qxsim::write_vcd(std::string_view(trace.data(), trace.size()), options, out, &sum, &err);
    std::string changed;
    if (trace.changed(&changed)) {
        if (!to_stdout)
            std::fclose(out);
        return fail(changed);
    }
    if (!to_stdout && std::fclose(out) != 0 && ok) {
        ok = false;
        err = std::strerror(errno);
    }
    if (!ok)
        return fail("cannot write " + out_path + ": " + err);
    std::fprintf(to_stdout ? stderr : stdout,
                 "%s: %zu I2C transaction(s) from %s, %zu drawn later to keep them apart; %zu flash operation(s); "
                 "%zu value change(s)\n",
                 to_stdout ? "qxsim" : out_path.c_str(), sum.transactions,
                 sum.device_view ? "the devices' view" : "the decoded trace", sum.shifted, sum.flash_operations,
                 sum.changes);
    return 0;
}

namespace {

struct DecodedView {
    bool one_pid = false;
    int32_t pid = 0;
    std::string block;
    bool collapse = false;
    qxsim::EntryCollapser collapser;

    bool wanted(const qxsim::DecodedEntry& e) const
    {
        return (!one_pid || e.pid == pid) && (block.empty() || block == e.block);
    }
    // Filters, folds and prints; `flush` ends the folded runs too.
    void print(std::vector<qxsim::DecodedEntry> entries, bool flush)
    {
        std::vector<qxsim::DecodedEntry> shown;
        for (qxsim::DecodedEntry& e : entries) {
            if (!wanted(e))
                continue;
            if (collapse)
                collapser.feed(std::move(e), &shown);
            else
                shown.push_back(std::move(e));
        }
        if (flush)
            collapser.flush(&shown);
        std::string out;
        qxsim::format_decoded(shown, &out);
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
    }
};

void sleep_ms(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000};
    ::nanosleep(&ts, nullptr);
}

// Reads what the trace file gained, decodes the whole lines and prints the
// entries the decoder has closed, as long as the process runs. An entry
// shows once it is complete: an I2C transaction when its result is read, a
// flash operation when its process starts the next one or closes the device.
[[noreturn]] void follow(const std::string& path, DecodedView& view)
{
    auto decoder = std::make_unique<qxsim::TraceDecoder>();
    off_t offset = 0;
    std::string partial;
    std::vector<char> chunk(1 << 20);
    int idle = 0;
    for (;;) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            sleep_ms(100);
            continue;
        }
        if (st.st_size < offset) {
            // trace cleared: start again
            std::fprintf(stderr, "qxsim: %s cleared, following from its start\n", path.c_str());
            decoder = std::make_unique<qxsim::TraceDecoder>();
            view.collapser = qxsim::EntryCollapser();
            offset = 0;
            partial.clear();
        }
        if (st.st_size == offset) {
            // a folded run waits for its end; show it once the tools stop
            if (view.collapse && view.collapser.pending() && ++idle == 10)
                view.print({}, true);
            sleep_ms(50);
            continue;
        }
        idle = 0;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ssize_t n;
        while ((n = ::pread(fd, chunk.data(), chunk.size(), offset)) > 0) {
            offset += n;
            partial.append(chunk.data(), static_cast<size_t>(n));
            size_t start = 0, nl;
            while ((nl = partial.find('\n', start)) != std::string::npos) {
                std::string_view line(partial.data() + start, nl - start);
                start = nl + 1;
                if (line.empty())
                    continue;
                qxsim::TraceRecord rec;
                if (qxsim::parse_trace_line(line, &rec))
                    decoder->feed(rec);
                else
                    decoder->feed_bad_line(line);
            }
            partial.erase(0, start);
            view.print(decoder->take(), false);
        }
        ::close(fd);
    }
}

}  // namespace

int cmd_trace_show(const std::string& dir, const std::vector<std::string>& args)
{
    DecodedView view;
    bool decode = false, follow_on = false, decode_options = false;
    std::string path;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--decode") {
            decode = true;
        } else if (args[i] == "--follow") {
            follow_on = decode_options = true;
        } else if (args[i] == "--collapse") {
            view.collapse = decode_options = true;
        } else if (args[i] == "--pid" && i + 1 < args.size() && parse_pid(args[i + 1], &view.pid)) {
            view.one_pid = decode_options = true;
            i++;
        } else if (args[i] == "--block" && i + 1 < args.size()) {
            view.block = args[++i];
            decode_options = true;
        } else if (path.empty() && !args[i].empty() && args[i][0] != '-') {
            path = args[i];
        } else {
            return usage();
        }
    }
    if (decode_options && !decode)
        return usage();
    // The camera's own trace: none yet shows nothing, and a line the camera
    // is writing at this moment waits for the next look.
    const bool camera_trace = path.empty();
    if (camera_trace) {
        std::string err;
        std::unique_ptr<qxsim::Camera> cam = qxsim::Camera::open(dir, &err);
        if (!cam)
            return fail(err);
        path = cam->trace_file();
    }
    if (!decode)
        return show_trace(path, camera_trace, stdout);
    if (follow_on)
        follow(path, view);
    qxsim::MappedFile file;
    if (TraceMap m = map_trace(path, camera_trace, &file); m != TraceMap::mapped)
        return m == TraceMap::missing ? 0 : 2;
    std::string_view text(file.data(), file.size());
    if (camera_trace)
        text = text.substr(0, text.rfind('\n') + 1);
    std::vector<qxsim::DecodedEntry> entries = qxsim::decode_trace_text(text);
    // Everything is read from the mapping before it is known unchanged: a
    // page cut from under it reads as zeros.
    const qxsim::TraceFileShape shape = qxsim::inspect_trace_file(text);
    std::string err;
    if (file.changed(&err)) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }
    size_t bad = 0;
    std::string first_bad;
    for (const qxsim::DecodedEntry& e : entries)
        if (e.kind == qxsim::DECODED_BAD_LINE && bad++ == 0)
            first_bad = e.text;
    if (view.collapse) {
        std::vector<qxsim::DecodedEntry> wanted;
        for (qxsim::DecodedEntry& e : entries)
            if (view.wanted(e))
                wanted.push_back(std::move(e));
        entries = qxsim::collapse_decoded(std::move(wanted));
        view.collapse = false;
    }
    view.print(std::move(entries), false);
    // What is wrong with the file, after what could be decoded of it.
    int status = 0;
    if (!shape.problem.empty()) {
        std::fprintf(stderr, "qxsim: %s: %s\n", path.c_str(), shape.problem.c_str());
        status = 2;
    }
    if (bad) {
        if (bad == 1)
            std::fprintf(stderr, "qxsim: %s: a line that is not a trace line: %s\n", path.c_str(), first_bad.c_str());
        else
            std::fprintf(stderr, "qxsim: %s: %zu lines that are not trace lines, the first: %s\n", path.c_str(), bad,
                         first_bad.c_str());
        status = 2;
    }
    return status;
}

}  // namespace qxsim_cli
