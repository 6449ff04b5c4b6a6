#include "qxsim/cli/sweep_commands.h"

#include "qxsim/cli/paths.h"
#include "qxsim/model/camera/camera.h"
#include "qxsim/model/flash/epcq_flash.h"
#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/sweep/camera_copy.h"
#include "qxsim/sweep/cut_sweep.h"
#include "qxsim/sweep/flash_journal.h"
#include "qxsim/trace/mapped_file.h"
#include "qxsim/trace/parse.h"
#include "qxsim/trace/trace_decoder.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unordered_set>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qxsim_cli {

const char sweep_usage_text[] =
    "  sweep power-cut [--torn] [--sample N] [--seed S] [--list] -- TOOL [ARGS]\n"
    "                        run TOOL once on a copy of the camera (instant flash timing, no\n"
    "                        faults) and judge every access as if the power had been cut just\n"
    "                        before it: which image boots, whether the factory region changed;\n"
    "                        --torn also cuts inside every erase and page program; --sample N\n"
    "                        judges N accesses drawn at random; --list prints every point;\n"
    "                        exit 0 none bricked, 1 some bricked, 2 the uncut run failed\n"
    "  sweep power-cut --kill [--sample N] [--seed S] -- TOOL [ARGS]\n"
    "                        kill TOOL at N sampled accesses (default 200), camera powered,\n"
    "                        and run it again on each: the second run must succeed\n";

namespace {

using qxsim::Camera;
using qxsim::CutPoint;
using qxsim::CutVerdict;
using qxsim::FlashChange;
using qxsim::FlashJournal;

int usage()
{
    std::fputs("usage: qxsim [--state DIR] COMMAND [ARGS]\n", stderr);
    std::fputs(sweep_usage_text, stderr);
    return 2;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "qxsim: %s\n", message.c_str());
    return 2;
}

struct Options {
    bool torn = false;
    bool kill = false;
    bool list = false;
    bool sampled = false;
    uint64_t sample = 0;
    uint64_t seed = 1;
    std::vector<std::string> tool;  // TOOL ARGS
};

bool parse_count(const std::string& text, uint64_t* n)
{
    uint32_t v = 0;
    if (!qxsim::parse_u32(text, &v))
        return false;
    *n = v;
    return true;
}

bool parse_options(const std::vector<std::string>& args, Options* o)
{
    if (args.empty() || args[0] != "power-cut")
        return false;
    size_t i = 1;
    for (; i < args.size() && args[i] != "--"; i++) {
        if (args[i] == "--torn") {
            o->torn = true;
        } else if (args[i] == "--kill") {
            o->kill = true;
        } else if (args[i] == "--list") {
            o->list = true;
        } else if (args[i] == "--sample" && i + 1 < args.size() && parse_count(args[i + 1], &o->sample) &&
                   o->sample > 0) {
            o->sampled = true;
            i++;
        } else if (args[i] == "--seed" && i + 1 < args.size() && parse_count(args[i + 1], &o->seed)) {
            i++;
        } else {
            return false;
        }
    }
    if (i + 1 >= args.size() || (o->kill && (o->torn || o->list)))
        return false;
    o->tool.assign(args.begin() + static_cast<ptrdiff_t>(i) + 1, args.end());
    if (o->kill && !o->sampled)
        o->sample = 200;
    return true;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A line on standard error that keeps being rewritten, on a terminal only.
class Progress {
public:
    Progress() : on_(::isatty(2) != 0) {}
    void show(const std::string& text)
    {
        if (on_)
            std::fprintf(stderr, "\r%-60s", text.c_str());
    }
    void done()
    {
        if (on_)
            std::fprintf(stderr, "\r%-60s\r", "");
    }
    bool on() const { return on_; }

private:
    bool on_;
};

struct ToolRun {
    int status = -1;  // exit status, or 128 + signal
    int signal = 0;
    uint64_t first = 0;     // the camera's access counter before the run
    uint64_t accesses = 0;  // accesses the run made
    std::string output;     // standard output and error, for a failed run
};

std::string read_text(const std::string& path)
{
    std::string text;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

uint64_t access_counter(Camera& cam)
{
    auto lock = cam.lock();
    return cam.state().core.accesses;
}

// Runs the tool against the camera in `dir` (opened as `cam`), its flash
// changes journalled to `journal`, standard input empty, standard output
// and error to `output`.
bool run_tool(const std::string& dir, Camera& cam, const std::vector<std::string>& tool, const std::string& journal,
              const std::string& output, Progress* progress, ToolRun* run, std::string* err)
{
    const std::string program = find_tool(tool[0]);
    const std::string preload = preload_list();
    const std::string state = absolute_path(dir);
    std::vector<char*> argv = exec_argv(program, tool.begin() + 1, tool.end());
    run->first = access_counter(cam);
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        *err = fmt::format("cannot start {}: {}", program, std::strerror(errno));
        return false;
    }
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)
            ::_exit(127);
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv("QXSIM_STATE", state.c_str(), 1);
        ::setenv("QXSIM_FLASH_JOURNAL", journal.c_str(), 1);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "qxsim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    // The access count of the run so far, on a terminal.
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
    std::thread watcher;
    if (progress && progress->on())
        watcher = std::thread([&] {
            std::unique_lock<std::mutex> l(m);
            while (!cv.wait_for(l, std::chrono::milliseconds(250), [&] { return ended; }))
                progress->show(fmt::format("uncut run: {} accesses", cam.state().core.accesses - run->first));
        });
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (watcher.joinable()) {
        {
            std::lock_guard<std::mutex> l(m);
            ended = true;
        }
        cv.notify_one();
        watcher.join();
        progress->done();
    }
    run->signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    run->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + run->signal;
    run->accesses = access_counter(cam) - run->first;
    if (run->status != 0)
        run->output = read_text(output);
    return true;
}

// The decoded trace's name of each of some accesses of a run, in the
// order the camera counted them: register reads and writes and accepted
// proc lines (the copy has no faults, so a refused proc line is a refused
// buffer, which is not counted).
std::map<uint64_t, std::string> name_accesses(const std::string& trace, uint64_t accesses,
                                              const std::set<uint64_t>& wanted)
{
    std::map<uint64_t, std::string> names;
    qxsim::MappedFile file;
    std::string err;
    if (wanted.empty())
        return names;
    if (!file.open(trace, true, &err)) {
        for (uint64_t k : wanted)
            names[k] = "(not named: " + err + ")";
        return names;
    }
    std::vector<std::pair<uint64_t, size_t>> at;  // access number, record index
    std::vector<int32_t> pid_at;
    qxsim::TraceDecoder decoder;
    auto next = wanted.begin();
    uint64_t n = 0;
    size_t index = 0;
    for (const char *p = file.data(), *end = p + file.size(); p < end;) {
        if (*p == '\n') {
            p++;
            continue;
        }
        qxsim::TraceRecord rec;
        bool ok;
        const char* after = qxsim::parse_trace_buffer(p, end, &rec, &ok);
        if (ok) {
            decoder.feed(rec);
            bool counted = rec.kind == qxsim::TRACE_READ || rec.kind == qxsim::TRACE_WRITE ||
                           (rec.kind == qxsim::TRACE_PROC && !rec.refused);
            if (counted && ++n == (next == wanted.end() ? 0 : *next)) {
                at.emplace_back(n, index);
                pid_at.push_back(rec.pid);
                ++next;
            }
        } else {
            decoder.feed_bad_line(std::string_view(p, static_cast<size_t>(after - p)));
        }
        index++;
        p = after;
    }
    if (n != accesses) {
        for (uint64_t k : wanted)
            names[k] = fmt::format("(not named: the trace holds {} accesses, the run made {})", n, accesses);
        return names;
    }
    decoder.finish();
    std::vector<qxsim::DecodedEntry> entries = decoder.take();
    for (size_t i = 0; i < at.size(); i++) {
        const size_t idx = at[i].second;
        // The entry that holds it, preferably of the access's own process:
        // groups of one issuer do not overlap, those of others may (proc
        // lines of several shells are one issuer).
        auto it = std::upper_bound(entries.begin(), entries.end(), idx,
                                   [](size_t x, const qxsim::DecodedEntry& e) { return x < e.first; });
        const qxsim::DecodedEntry* found = nullptr;
        for (int look = 0; it != entries.begin() && look < 4096; look++) {
            --it;
            if (it->first <= idx && idx <= it->last && (!found || it->pid == pid_at[i])) {
                found = &*it;
                if (it->pid == pid_at[i])
                    break;
            }
        }
        names[at[i].first] = found ? fmt::format("{} {}", found->block, found->text) : "(not in the decoded trace)";
    }
    return names;
}

// Distinct accesses in 1 .. n drawn at random, ascending; all of them when
// n is at most `count`.
std::vector<uint64_t> draw(uint64_t n, uint64_t count, uint64_t seed)
{
    std::vector<uint64_t> points;
    if (count >= n) {
        for (uint64_t k = 1; k <= n; k++)
            points.push_back(k);
        return points;
    }
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<uint64_t> pick(1, n);
    std::unordered_set<uint64_t> seen;
    while (seen.size() < count)
        seen.insert(pick(rng));
    points.assign(seen.begin(), seen.end());
    std::sort(points.begin(), points.end());
    return points;
}

std::string timing_words(const qxsim::EpcqState& s)
{
    if (s.timing == qxsim::EPCQ_TIMING_INSTANT)
        return "instant flash timing (as the camera's)";
    return "instant flash timing (the camera's is datasheet timing; cut states do not depend on it)";
}

std::string tool_words(const std::vector<std::string>& tool)
{
    std::string s;
    for (const std::string& a : tool)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

std::string run_words(const ToolRun& r)
{
    return r.signal ? fmt::format("killed by signal {}", r.signal) : fmt::format("exit status {}", r.status);
}

// The sweep's folders: a pristine copy of the camera and the uncut run's.
struct Workspace {
    std::string root, before, run;
    ~Workspace()
    {
        if (!root.empty() && !std::getenv("QXSIM_SWEEP_KEEP"))
            qxsim::remove_tree(root);
    }
};

bool set_up(const std::string& dir, Workspace* w, std::string* first_line_timing, std::string* err)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qxsim-sweep.XXXXXX";
    if (!::mkdtemp(&pattern[0])) {
        *err = fmt::format("cannot create {}: {}", pattern, std::strerror(errno));
        return false;
    }
    w->root = pattern;
    w->before = w->root + "/before";
    w->run = w->root + "/run";
    if (!qxsim::copy_camera(dir, w->before, err))
        return false;
    {
        std::unique_ptr<Camera> cam = Camera::open(w->before, err);
        if (!cam)
            return false;
        cam->clear_faults("", err);
        cam->set_trace(false);
        // A camera left without power by a cut is swept as it comes back.
        std::string power;
        if (!cam->powered()) {
            power = fmt::format(", power-cycled (the camera has no power since the cut at access {})",
                                cam->cut_access());
            cam->power_cycle();
        }
        auto lock = cam->lock();
        qxsim::EpcqFlash& chip = cam->asmi().flash();
        *first_line_timing = timing_words(chip.state()) + power;
        chip.set_timing(qxsim::EPCQ_TIMING_INSTANT, chip.state().erase_us, chip.state().program_us,
                        chip.state().status_us);
    }
    return qxsim::copy_camera(w->before, w->run, err);
}

int report_failed_run(const ToolRun& r)
{
    std::printf("the uncut run failed (%s, %llu accesses): nothing judged\n", run_words(r).c_str(),
                static_cast<unsigned long long>(r.accesses));
    std::string out = r.output;
    if (out.size() > 2000)
        out = "...\n" + out.substr(out.size() - 2000);
    if (!out.empty())
        std::printf("its output:\n%s%s", out.c_str(), out.back() == '\n' ? "" : "\n");
    return 2;
}

std::string journal_words(const FlashJournal& j)
{
    return fmt::format("{} sector erase{}, {} page program{}, {} protection write{}", j.erases,
                       j.erases == 1 ? "" : "s", j.programs, j.programs == 1 ? "" : "s", j.status_writes,
                       j.status_writes == 1 ? "" : "s");
}

// ---- power cuts ----

struct Segment {
    uint64_t first = 0, last = 0;
    CutVerdict verdict = CutVerdict::factory;
    uint8_t protection = 0;
    bool factory_changed = false;
};

// The fault that makes the same cut on the camera.
const char* torn_fault(const FlashChange& c)
{
    return c.kind == qxsim::FLASH_PROGRAM ? "asmi.torn-program" : "asmi.torn-erase";
}

std::string torn_words(const CutPoint& p)
{
    const FlashChange& c = *p.torn;
    return fmt::format("{} {} cut after {} of {} bytes ({} {} {})",
                       c.kind == qxsim::FLASH_PROGRAM ? "page program" : "sector erase", c.ordinal, p.torn_bytes,
                       c.length, torn_fault(c), c.ordinal, p.torn_bytes);
}

int sweep_power_cut(const std::string& dir, const Options& o)
{
    const auto t0 = std::chrono::steady_clock::now();
    Workspace w;
    std::string err, timing;
    if (!set_up(dir, &w, &timing, &err))
        return fail(err);
    std::printf("sweep power-cut of '%s' on a copy of %s, %s, no faults%s\n", tool_words(o.tool).c_str(), dir.c_str(),
                timing.c_str(), o.torn ? ", torn operations too" : "");
    std::fflush(stdout);

    std::unique_ptr<Camera> before = Camera::open(w.before, &err);
    std::unique_ptr<Camera> cam = before ? Camera::open(w.run, &err) : nullptr;
    if (!cam)
        return fail(err);
    cam->set_trace(true);
    Progress progress;
    ToolRun run;
    const auto t_run = std::chrono::steady_clock::now();
    if (!run_tool(w.run, *cam, o.tool, w.run + "/flash.journal", w.root + "/output", &progress, &run, &err))
        return fail(err);
    const double run_s = seconds_since(t_run);
    if (run.status != 0)
        return report_failed_run(run);
    FlashJournal journal;
    if (!qxsim::read_flash_journal(w.run + "/flash.journal", &journal, &err))
        return fail(err);
    for (const FlashChange& c : journal.changes)
        if (c.access <= run.first || c.access > run.first + run.accesses)
            return fail(fmt::format("the flash journal has a change at access {}, outside the run", c.access));
    std::printf("uncut run: exit status 0, %llu accesses in %.2f s; flash changes: %s\n",
                static_cast<unsigned long long>(run.accesses), run_s, journal_words(journal).c_str());

    std::vector<uint64_t> sample;
    if (o.sampled)
        sample = draw(run.accesses, o.sample, o.seed);
    qxsim::SweepInput in;
    in.journal = &journal;
    in.first_access = run.first;
    in.accesses = run.accesses;
    in.torn = o.torn;
    in.sample = o.sampled ? &sample : nullptr;
    uint8_t protection_after = 0;
    {
        auto l1 = before->lock();
        in.protection_before = before->asmi().flash().status_reg();
        in.before = &before->asmi().flash().store();
    }
    {
        auto l2 = cam->lock();
        protection_after = cam->asmi().flash().status_reg();
        in.after = &cam->asmi().flash().store();
    }

    uint64_t counts[qxsim::CUT_VERDICTS] = {}, plain = 0, torn = 0, factory_changed = 0;
    std::vector<Segment> segments;
    std::vector<CutPoint> bad;  // bricked, or the factory region changed
    std::string list;
    const uint64_t expected = o.sampled ? sample.size() : run.accesses;
    const auto t_judge = std::chrono::steady_clock::now();
    qxsim::sweep_cuts(in, [&](const CutPoint& p) {
        counts[static_cast<unsigned>(p.verdict)]++;
        factory_changed += p.factory_changed;
        if (p.verdict == CutVerdict::bricked || p.factory_changed)
            bad.push_back(p);
        if (o.list) {
            list += fmt::format("cut {}", p.access);
            if (p.torn)
                list += fmt::format(" {} {} {}", torn_fault(*p.torn), p.torn->ordinal, p.torn_bytes);
            list += fmt::format(" {} 0x{:02X}", verdict_word(p.verdict), p.protection);
            list += p.factory_changed ? " factory-changed\n" : "\n";
            if (list.size() > (1 << 16)) {
                std::fwrite(list.data(), 1, list.size(), stdout);
                list.clear();
            }
        }
        if (p.torn) {
            torn++;
            return;
        }
        if (++plain % (1 << 20) == 0)
            progress.show(fmt::format("judging: {:.0f}%", 100.0 * double(plain) / double(expected)));
        Segment* s = segments.empty() ? nullptr : &segments.back();
        if (s && s->verdict == p.verdict && s->protection == p.protection && s->factory_changed == p.factory_changed) {
            s->last = p.access;
        } else {
            segments.push_back(Segment{p.access, p.access, p.verdict, p.protection, p.factory_changed});
        }
    });
    const double judge_s = seconds_since(t_judge);
    progress.done();
    std::fwrite(list.data(), 1, list.size(), stdout);

    const uint64_t points = plain + torn;
    std::string line = fmt::format("{} cut points judged", points);
    if (o.torn)
        line += fmt::format(" ({} between accesses, {} inside flash operations)", plain, torn);
    if (o.sampled)
        line += fmt::format(" at {} sampled accesses (seed {})", sample.size(), o.seed);
    line += ":";
    for (CutVerdict v : {CutVerdict::old_image, CutVerdict::factory, CutVerdict::new_image, CutVerdict::bricked})
        line += fmt::format(" {} {}{}", verdict_name(v), counts[static_cast<unsigned>(v)],
                            v == CutVerdict::bricked ? "" : ",");
    std::printf("%s\n", line.c_str());
    if (factory_changed)
        std::printf("factory region changed at %llu points\n", static_cast<unsigned long long>(factory_changed));
    else
        std::printf("factory region unchanged at every point\n");

    // Where the outcome changes along the run.
    const size_t shown = std::min<size_t>(segments.size(), 40);
    for (size_t i = 0; i < shown; i++) {
        const Segment& s = segments[i];
        std::printf("  %s %llu..%llu: %s, protection 0x%02X%s\n", o.sampled ? "sampled accesses" : "accesses",
                    static_cast<unsigned long long>(s.first), static_cast<unsigned long long>(s.last),
                    verdict_name(s.verdict), s.protection, s.factory_changed ? ", factory region changed" : "");
    }
    if (segments.size() > shown)
        std::printf("  ... %zu more changes of outcome\n", segments.size() - shown);
    std::printf("  after the run: protection 0x%02X\n", protection_after);

    if (!bad.empty()) {
        std::set<uint64_t> wanted;
        for (const CutPoint& p : bad)
            wanted.insert(p.access);
        std::map<uint64_t, std::string> names = name_accesses(w.run + "/trace.log", run.accesses, wanted);
        std::string out;
        for (const CutPoint& p : bad) {
            out += fmt::format("{} at access {}", p.verdict == CutVerdict::bricked ? "bricked" : "factory changed",
                               p.access);
            if (p.torn)
                out += ", " + torn_words(p);
            out += ": " + names[p.access] + "\n";
            if (out.size() > (1 << 16)) {
                std::fwrite(out.data(), 1, out.size(), stdout);
                out.clear();
            }
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    std::printf("time: uncut run %.2f s, judgement %.2f s (%.0f points/s), total %.2f s\n", run_s, judge_s,
                judge_s > 0 ? double(points) / judge_s : 0.0, seconds_since(t0));
    return bad.empty() ? 0 : 1;
}

// ---- kills ----

std::vector<uint32_t> touched_sectors(const FlashJournal& j, std::vector<uint32_t> sectors)
{
    for (const FlashChange& c : j.changes)
        if (c.kind != qxsim::FLASH_STATUS)
            sectors.push_back(c.addr / qxsim::EPCQ_SECTOR_SIZE);
    std::sort(sectors.begin(), sectors.end());
    sectors.erase(std::unique(sectors.begin(), sectors.end()), sectors.end());
    return sectors;
}

// What differs between the camera a second run left and the one the
// uncut run left: protection, the image configured, the flash over every
// sector either run touched. Empty when nothing does.
std::string compare_cameras(Camera& got, Camera& want, const std::vector<uint32_t>& sectors)
{
    auto l1 = got.lock();
    auto l2 = want.lock();
    const qxsim::EpcqFlash& a = got.asmi().flash();
    const qxsim::EpcqFlash& b = want.asmi().flash();
    if (a.status_reg() != b.status_reg())
        return fmt::format("protection 0x{:02X}, the uncut run's 0x{:02X}", a.status_reg(), b.status_reg());
    const qxsim::BootState& x = got.asmi().boot().state();
    const qxsim::BootState& y = want.asmi().boot().state();
    if (x.image != y.image || x.base != y.base || x.length != y.length || x.checksum != y.checksum)
        return fmt::format("configured the {} image at 0x{:07X} ({} bytes, CRC-32 0x{:08X}), the uncut run the {} "
                           "image at 0x{:07X} ({} bytes, CRC-32 0x{:08X})",
                           qxsim::boot_image_name(x.image), x.base, x.length, x.checksum,
                           qxsim::boot_image_name(y.image), y.base, y.length, y.checksum);
    std::vector<uint8_t> p(qxsim::EPCQ_SECTOR_SIZE), q(qxsim::EPCQ_SECTOR_SIZE);
    for (uint32_t s : sectors) {
        a.store().read(s * qxsim::EPCQ_SECTOR_SIZE, p.data(), qxsim::EPCQ_SECTOR_SIZE);
        b.store().read(s * qxsim::EPCQ_SECTOR_SIZE, q.data(), qxsim::EPCQ_SECTOR_SIZE);
        if (p != q) {
            size_t i = 0;
            while (p[i] == q[i])
                i++;
            return fmt::format("flash differs at 0x{:07X} (0x{:02X}, the uncut run's 0x{:02X})",
                               s * qxsim::EPCQ_SECTOR_SIZE + i, p[i], q[i]);
        }
    }
    return "";
}

int sweep_kill(const std::string& dir, const Options& o)
{
    const auto t0 = std::chrono::steady_clock::now();
    Workspace w;
    std::string err, timing;
    if (!set_up(dir, &w, &timing, &err))
        return fail(err);
    std::printf("sweep power-cut --kill of '%s' on copies of %s, %s, no faults\n", tool_words(o.tool).c_str(),
                dir.c_str(), timing.c_str());
    std::fflush(stdout);
    std::unique_ptr<Camera> cam = Camera::open(w.run, &err);
    if (!cam)
        return fail(err);
    cam->set_trace(true);
    Progress progress;
    ToolRun uncut;
    if (!run_tool(w.run, *cam, o.tool, w.run + "/flash.journal", w.root + "/output", &progress, &uncut, &err))
        return fail(err);
    if (uncut.status != 0)
        return report_failed_run(uncut);
    FlashJournal journal;
    if (!qxsim::read_flash_journal(w.run + "/flash.journal", &journal, &err))
        return fail(err);
    std::printf("uncut run: exit status 0, %llu accesses; flash changes: %s\n",
                static_cast<unsigned long long>(uncut.accesses), journal_words(journal).c_str());
    const std::vector<uint32_t> uncut_sectors = touched_sectors(journal, {});

    const std::vector<uint64_t> points = draw(uncut.accesses, o.sample, o.seed);
    struct Failure {
        uint64_t access;
        std::string why;
    };
    std::vector<Failure> failures;
    const std::string kill_dir = w.root + "/kill";
    for (size_t i = 0; i < points.size(); i++) {
        const uint64_t k = points[i];
        progress.show(fmt::format("kill {} of {} (access {})", i + 1, points.size(), k));
        qxsim::remove_tree(kill_dir);
        if (!qxsim::copy_camera(w.before, kill_dir, &err))
            return fail(err);
        std::unique_ptr<Camera> copy = Camera::open(kill_dir, &err);
        if (!copy || !copy->set_fault("kill-at", {std::to_string(k)}, &err))
            return fail(err);
        ToolRun killed, again;
        const std::string journal_path = kill_dir + "/flash.journal";
        if (!run_tool(kill_dir, *copy, o.tool, journal_path, w.root + "/kill-output", nullptr, &killed, &err))
            return fail(err);
        copy->clear_faults("", &err);
        if (killed.signal != SIGKILL) {
            failures.push_back({k, "the run was not killed (" + run_words(killed) + ")"});
            continue;
        }
        if (!run_tool(kill_dir, *copy, o.tool, journal_path, w.root + "/kill-output", nullptr, &again, &err))
            return fail(err);
        if (again.status != 0) {
            std::string out = again.output;
            while (!out.empty() && out.back() == '\n')
                out.pop_back();
            out = out.substr(out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1);
            failures.push_back({k, "second run " + run_words(again) + (out.empty() ? "" : ": " + out)});
            continue;
        }
        FlashJournal kj;
        if (!qxsim::read_flash_journal(journal_path, &kj, &err))
            return fail(err);
        std::string why = compare_cameras(*copy, *cam, touched_sectors(kj, uncut_sectors));
        if (!why.empty())
            failures.push_back({k, "after the second run: " + why});
    }
    progress.done();
    std::printf("%zu kill points%s: second run succeeded %zu, failed %zu\n", points.size(),
                points.size() < uncut.accesses
                    ? fmt::format(" drawn of {} accesses (seed {})", uncut.accesses, o.seed).c_str()
                    : " (every access)",
                points.size() - failures.size(), failures.size());
    std::set<uint64_t> wanted;
    for (const Failure& f : failures)
        wanted.insert(f.access);
    std::map<uint64_t, std::string> names = name_accesses(w.run + "/trace.log", uncut.accesses, wanted);
    for (const Failure& f : failures)
        std::printf("failed after a kill at access %llu (%s): %s\n", static_cast<unsigned long long>(f.access),
                    names[f.access].c_str(), f.why.c_str());
    std::printf("time: total %.2f s\n", seconds_since(t0));
    return failures.empty() ? 0 : 1;
}

}  // namespace

int cmd_sweep(const std::string& dir, const std::vector<std::string>& args)
{
    Options o;
    if (!parse_options(args, &o))
        return usage();
    return o.kill ? sweep_kill(dir, o) : sweep_power_cut(dir, o);
}

}  // namespace qxsim_cli
