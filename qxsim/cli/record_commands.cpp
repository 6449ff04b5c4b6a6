#include "qxsim/cli/record_commands.h"

#include "qxsim/cli/paths.h"
#include "qxsim/cli/qxsim_paths.h"
#include "qxsim/model/camera/camera.h"
#include "qxsim/record/record_format.h"
#include "qxsim/record/record_merge.h"
#include "qxsim/replay/replay.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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

int cmd_replay(const std::string& dir, bool explicit_state, const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return usage();
    return qxsim::replay_trace(args[0], explicit_state ? dir : std::string());
}

}  // namespace qxsim_cli
