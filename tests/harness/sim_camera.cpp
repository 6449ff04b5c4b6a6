#include "sim_camera.h"

#include "qxtest_paths.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/fpga/register_map.h"
#include "qxsim/trace/trace_format.h"
#include "qxsim/model/camera/tool_locks.h"

#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qxtest {

namespace {

// A tool that hangs is killed after this long, so a broken test fails
// instead of stalling the suite.
constexpr unsigned RUN_LIMIT_SECONDS = 300;

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return ::remove(path);
}

std::string quoted(const std::string& s)
{
    std::string q = "\"";
    for (char c : s) {
        if (c == '\n')
            q += "\\n";
        else if (c == '\t')
            q += "\\t";
        else if (c == '\r')
            q += "\\r";
        else if (c == '"' || c == '\\')
            q += std::string("\\") + c;
        else
            q += c;
    }
    return q + "\"";
}

// Runs argv[0] (a path) with extra environment, output to files in `dir`.
Result spawn(const std::string& dir, const std::vector<std::string>& argv,
             const std::vector<std::string>& env_extra, const std::string& input)
{
    Result r;
    static unsigned serial;
    std::string base = fmt::format("{}/.run{}", dir, serial++);
    std::string in_path = base + ".in", out_path = base + ".out", err_path = base + ".err";
    {
        std::ofstream in(in_path, std::ios::binary);
        in << input;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) {
        std::string var = *e;
        bool replaced = false;
        for (const std::string& x : env_extra)
            if (var.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0)
                replaced = true;
        if (!replaced)
            env.push_back(var);
    }
    env.insert(env.end(), env_extra.begin(), env_extra.end());
    std::vector<char*> cargv, cenv;
    for (const std::string& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const std::string& e : env)
        cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);

    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int in = ::open(in_path.c_str(), O_RDONLY);
        int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0)
            ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::close(in);
        ::close(out);
        ::close(err);
        ::alarm(RUN_LIMIT_SECONDS);
        ::execve(cargv[0], cargv.data(), cenv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", cargv[0], std::strerror(errno));
        ::_exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return r;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        r.signal = WTERMSIG(status);
        r.status = 128 + r.signal;
        if (r.signal == SIGALRM)
            ADD_FAILURE() << argv[0] << " still running after " << RUN_LIMIT_SECONDS << " s: killed";
    }
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    ::unlink(in_path.c_str());
    ::unlink(out_path.c_str());
    ::unlink(err_path.c_str());
    return r;
}

// A fresh folder "<prefix>.XXXXXX" under $TMPDIR, else /tmp; "" (and the
// test failed) when none can be made.
std::string make_temp_dir(const char* prefix)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    if (!::mkdtemp(buf.data())) {
        ADD_FAILURE() << "mkdtemp " << templ << ": " << std::strerror(errno);
        return "";
    }
    return buf.data();
}

void remove_tree(const std::string& dir)
{
    if (!dir.empty() && !std::getenv("QXTEST_KEEP"))
        ::nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out.good())
        ADD_FAILURE() << "cannot write " << path;
}

void write_file(const std::string& path, const std::vector<uint8_t>& data)
{
    write_file(path, std::string(data.begin(), data.end()));
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TempDir::TempDir() : path_(make_temp_dir("qxtest")) {}

TempDir::~TempDir()
{
    remove_tree(path_);
}

std::string tool_path(const std::string& name)
{
    for (const ToolPath& t : built_tools)
        if (name == t.name)
            return t.path;
    return "";
}

std::string qxsim_path()
{
    return QXTEST_QXSIM_PATH;
}

std::string preload_path()
{
    return QXTEST_PRELOAD_PATH;
}

SimCamera::SimCamera() : SimCamera(SimOptions()) {}

SimCamera::SimCamera(const SimOptions& options) : dir_(make_temp_dir("qxtest"))
{
    if (dir_.empty())
        return;
    qxsim::CreateOptions create;
    if (!qxsim::parse_sensor(options.sensor, &create.sensor_code))
        ADD_FAILURE() << "unknown sensor " << options.sensor;
    std::string err;
    if (!qxsim::Camera::create(dir_, create, &err)) {
        ADD_FAILURE() << err;
        return;
    }
    if (options.trace)
        model().set_trace(true);
}

SimCamera::~SimCamera()
{
    if (exported_) {
        ::unsetenv("LD_PRELOAD");
        ::unsetenv("QXSIM_STATE");
    }
    model_.reset();
    remove_tree(dir_);
}

Result SimCamera::cli(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv = {qxsim_path(), "--state", dir_};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(dir_, argv, {}, "");
}

Result SimCamera::run(const std::vector<std::string>& argv, const std::string& input) const
{
    if (argv.empty()) {
        ADD_FAILURE() << "run: no program";
        return Result();
    }
    std::vector<std::string> args = argv;
    if (args[0].find('/') == std::string::npos) {
        std::string path = tool_path(args[0]);
        if (path.empty()) {
            ADD_FAILURE() << "tool " << args[0] << " is not built";
            return Result();
        }
        args[0] = path;
    }
    return spawn(dir_, args, {"LD_PRELOAD=" + preload_path(), "QXSIM_STATE=" + dir_}, input);
}

Result SimCamera::shell(const std::string& command) const
{
    return run({"/bin/sh", "-c", command});
}

void SimCamera::export_environment()
{
    ::setenv("LD_PRELOAD", preload_path().c_str(), 1);
    ::setenv("QXSIM_STATE", dir_.c_str(), 1);
    exported_ = true;
}

qxsim::Camera& SimCamera::model()
{
    if (!model_) {
        std::string err;
        model_ = qxsim::Camera::open(dir_, &err);
        if (!model_) {
            ADD_FAILURE() << err;
            std::abort();
        }
    }
    return *model_;
}

void SimCamera::fault(const std::string& name, const std::vector<std::string>& args)
{
    std::string err;
    if (!model().set_fault(name, args, &err))
        ADD_FAILURE() << "fault " << name << ": " << err;
}

void SimCamera::clear_faults()
{
    std::string err;
    if (!model().clear_faults("", &err))
        ADD_FAILURE() << err;
}

uint32_t SimCamera::peek(uint32_t reg)
{
    return model().peek(reg);
}

void SimCamera::poke(uint32_t reg, uint32_t value)
{
    model().poke(reg, value);
}

std::string SimCamera::show()
{
    std::ostringstream s;
    model().describe(s);
    return s.str();
}

// ---- set-up ----

Setup& Setup::sensor(const std::string& name)
{
    uint32_t code = 0;
    if (!qxsim::parse_sensor(name, &code))
        ADD_FAILURE() << "unknown sensor " << name;
    sim_.model().set_sensor(code);
    return *this;
}

Setup& Setup::ident_register(uint8_t reg, uint8_t value)
{
    sim_.model().set_ident_register(reg, value);
    return *this;
}

Setup& Setup::i2c_bus(bool on)
{
    sim_.model().set_i2c_bus(on);
    return *this;
}

Setup& Setup::device(qxsim::Bus bus, uint8_t addr, unsigned bits, const std::string& label)
{
    if (!sim_.model().install_device(bus, addr, bits / 8, label.empty() ? fmt::format("device-{}bit", bits) : label))
        ADD_FAILURE() << "no free device slot on bus " << qxsim::bus_name(bus);
    return *this;
}

Setup& Setup::no_device(qxsim::Bus bus, uint8_t addr)
{
    if (!sim_.model().remove_device(bus, addr))
        ADD_FAILURE() << fmt::format("no device at 0x{:02x} on bus {} to remove", addr, qxsim::bus_name(bus));
    return *this;
}

Setup& Setup::device_register(qxsim::Bus bus, uint8_t addr, uint8_t reg, uint32_t value)
{
    if (!sim_.model().set_device_register(bus, addr, reg, value))
        ADD_FAILURE() << fmt::format("no device at 0x{:02x} on bus {}", addr, qxsim::bus_name(bus));
    return *this;
}

Setup& Setup::flash(const std::vector<std::string>& args)
{
    std::vector<std::string> command = {"flash"};
    command.insert(command.end(), args.begin(), args.end());
    Result r = sim_.cli(command);
    if (r.status != 0)
        ADD_FAILURE() << "qxsim flash failed: " << r.err;
    return *this;
}

Setup& Setup::fault(const std::string& name, const std::vector<std::string>& args)
{
    sim_.fault(name, args);
    return *this;
}

Setup& Setup::poke(uint32_t reg, uint32_t value)
{
    sim_.poke(reg, value);
    return *this;
}

void LockHold::release()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

LockHold SimCamera::hold_lock(const std::string& name)
{
    const qxsim::ToolLockFile* lock = qxsim::ToolLocks::find(name);
    if (!lock) {
        ADD_FAILURE() << "no lock named " << name;
        return LockHold();
    }
    int fd = qxsim::ToolLocks(dir_).take(*lock, false);
    if (fd < 0)
        ADD_FAILURE() << "cannot take lock " << name << ": " << std::strerror(errno);
    return LockHold(fd);
}

pid_t SimCamera::lock_holder(const std::string& name)
{
    const qxsim::ToolLockFile* lock = qxsim::ToolLocks::find(name);
    if (!lock) {
        ADD_FAILURE() << "no lock named " << name;
        return 0;
    }
    return qxsim::ToolLocks(dir_).holder(*lock).pid;
}

std::vector<TraceRecord> SimCamera::trace() const
{
    std::vector<TraceRecord> records;
    std::istringstream in(read_file(dir_ + "/trace.log"));
    std::string line;
    while (std::getline(in, line)) {
        TraceRecord rec = parse_trace_line(line);
        if (rec.kind != qxsim::TRACE_I2C_BUS)
            records.push_back(rec);
    }
    return records;
}

void SimCamera::clear_trace()
{
    if (::truncate((dir_ + "/trace.log").c_str(), 0) != 0 && errno != ENOENT)
        ADD_FAILURE() << "trace.log of " << dir_ << " not emptied: " << std::strerror(errno);
}

// ---- trace helpers ----

TraceRecord parse_trace_line(const std::string& line)
{
    TraceRecord t;
    t.line = line;
    qxsim::TraceRecord rec;
    if (!qxsim::parse_trace_line(line, &rec)) {
        t.kind = '?';
        return t;
    }
    t.pid = rec.pid;
    t.time_ns = rec.time_ns;
    t.kind = rec.kind;
    t.reg = rec.reg;
    t.value = rec.value;
    t.error = rec.error;
    t.refused = rec.refused;
    t.killed = rec.killed;
    t.text = std::string(rec.text);
    return t;
}

std::vector<TraceRecord> register_traffic(const std::vector<TraceRecord>& trace)
{
    std::vector<TraceRecord> out;
    for (const TraceRecord& t : trace)
        if ((t.kind == 'R' || t.kind == 'W' || (t.kind == 'P' && !t.refused)) && !t.error && !t.killed)
            out.push_back(t);
    return out;
}

std::vector<uint32_t> writes_to(const std::vector<TraceRecord>& trace, uint32_t reg)
{
    std::vector<uint32_t> out;
    for (const TraceRecord& t : register_traffic(trace))
        if ((t.kind == 'W' || t.kind == 'P') && t.reg == reg)
            out.push_back(t.value);
    return out;
}

size_t reads_of(const std::vector<TraceRecord>& trace, uint32_t reg)
{
    size_t n = 0;
    for (const TraceRecord& t : register_traffic(trace))
        if (t.kind == 'R' && t.reg == reg)
            n++;
    return n;
}

std::vector<std::string> proc_lines(const std::vector<TraceRecord>& trace)
{
    std::vector<std::string> out;
    for (const TraceRecord& t : trace)
        if (t.kind == 'P' && !t.refused)
            out.push_back(t.text);
    return out;
}

std::vector<std::string> refused_proc_lines(const std::vector<TraceRecord>& trace)
{
    std::vector<std::string> out;
    for (const TraceRecord& t : trace)
        if (t.kind == 'P' && t.refused)
            out.push_back(t.text);
    return out;
}

std::vector<std::string> traffic_summary(const std::vector<TraceRecord>& trace)
{
    std::vector<std::string> out;
    for (const TraceRecord& t : register_traffic(trace))
        out.push_back(fmt::format("{} 0x{:x} 0x{:x}", t.kind, t.reg, t.value));
    return out;
}

// ---- assertions ----

::testing::AssertionResult stdout_is(const Result& r, const std::string& expected)
{
    if (r.out == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "stdout is " << quoted(r.out) << "\n  expected " << quoted(expected)
                                         << "\n  (stderr " << quoted(r.err) << ")";
}

::testing::AssertionResult stderr_is(const Result& r, const std::string& expected)
{
    if (r.err == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "stderr is " << quoted(r.err) << "\n  expected " << quoted(expected);
}

::testing::AssertionResult status_is(const Result& r, int expected)
{
    if (r.status == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "status is " << r.status << ", expected " << expected
                                         << "\n  stdout " << quoted(r.out) << "\n  stderr " << quoted(r.err);
}

namespace {

enum class Where { anywhere, start, end };

bool has_part(const std::string& text, const std::string& part, Where where)
{
    switch (where) {
    case Where::start: return text.compare(0, part.size(), part) == 0;
    case Where::end:
        return text.size() >= part.size() && text.compare(text.size() - part.size(), part.size(), part) == 0;
    default: return text.find(part) != std::string::npos;
    }
}

::testing::AssertionResult stream_has(const Result& r, bool is_stdout, const std::string& part, Where where)
{
    const std::string& text = is_stdout ? r.out : r.err;
    if (has_part(text, part, where))
        return ::testing::AssertionSuccess();
    static const char* const how[] = {"does not contain", "does not start with", "does not end with"};
    auto failure = ::testing::AssertionFailure() << (is_stdout ? "stdout " : "stderr ") << quoted(text) << "\n  "
                                                 << how[static_cast<int>(where)] << " " << quoted(part);
    if (is_stdout)
        failure << "\n  (stderr " << quoted(r.err) << ")";
    return failure;
}

}  // namespace

::testing::AssertionResult stdout_contains(const Result& r, const std::string& part)
{
    return stream_has(r, true, part, Where::anywhere);
}

::testing::AssertionResult stdout_starts_with(const Result& r, const std::string& head)
{
    return stream_has(r, true, head, Where::start);
}

::testing::AssertionResult stdout_ends_with(const Result& r, const std::string& tail)
{
    return stream_has(r, true, tail, Where::end);
}

::testing::AssertionResult stderr_contains(const Result& r, const std::string& part)
{
    return stream_has(r, false, part, Where::anywhere);
}

}  // namespace qxtest
