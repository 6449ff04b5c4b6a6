// What the packages ship: man pages that render cleanly and document every
// option, bash completions that offer exactly the options each tool takes,
// and install rules that put each file in its component.
#include "built_tools.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace {

struct Result {
    std::string out;
    std::string err;
    int status = -1;
};

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/qx-packaging-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~ScratchDir() { run_quiet({"rm", "-rf", path_}); }
    const std::string &path() const { return path_; }

    static void run_quiet(const std::vector<std::string> &argv);

private:
    std::string path_;
};

// Runs argv with stdin from /dev/null, collecting both streams and the exit
// status; extra_env entries ("NAME=value") are added to the environment.
Result run(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env = {})
{
    static int serial = 0;
    const std::string base = "/tmp/qx-packaging-run-" + std::to_string(getpid()) + "-" +
                             std::to_string(serial++);
    const std::string out_path = base + ".out", err_path = base + ".err";

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);

    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_store(extra_env);
    for (char **e = environ; *e; ++e)
        env_store.emplace_back(*e);
    std::vector<char *> env;
    for (auto &e : env_store)
        env.push_back(e.data());
    env.push_back(nullptr);

    Result r;
    pid_t pid;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), env.data()) == 0) {
        int st = 0;
        waitpid(pid, &st, 0);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return r;
}

void ScratchDir::run_quiet(const std::vector<std::string> &argv) { run(argv); }

std::string tool_path(const std::string &name)
{
    for (const auto &t : built_tools)
        if (name == t.name)
            return t.path;
    return "";
}

const char *const tools[] = {"update", "regdump", "dac", "biasset", "chanmask"};
const char *const pages[] = {"update", "regdump", "dac", "biasset", "chanmask", "qxsim"};

std::string man_source(const std::string &page)
{
    return std::string(source_dir) + "/man/" + page + ".1";
}

// The page as a reader sees it, in plain ASCII (no overstrike, no UTF-8
// minus signs for \-).
std::string man_text(const std::string &page)
{
    return run({"groff", "-man", "-Tascii", "-P", "-cbou", man_source(page)}).out;
}

// The options a tool's usage text names: "-x" and "--word" tokens on the
// lines after the first (the first is the synopsis).
std::set<std::string> usage_options(const std::string &usage)
{
    std::set<std::string> opts;
    std::istringstream lines(usage);
    std::string line;
    std::getline(lines, line);
    static const std::regex option(R"((?:^|\s)(--[a-z][a-z-]*|-[A-Za-z0-9?])(?=\s|$))");
    while (std::getline(lines, line))
        for (std::sregex_iterator m(line.begin(), line.end(), option), end; m != end; ++m)
            opts.insert((*m)[1]);
    return opts;
}

// The usage text as the tool prints it for --help (on either stream).
std::string usage_of(const std::string &path)
{
    Result r = run({path, "--help"});
    EXPECT_EQ(r.status, 1) << path << " --help";
    return r.err.empty() ? r.out : r.err;
}

// Runs the bash completion of `tool` for the command line `words` (the last
// word is the one being completed) and returns the words it offers.
std::set<std::string> complete(const std::string &tool, const std::vector<std::string> &words)
{
    std::string script = "source '" + std::string(source_dir) + "/completion/" + tool + "'\n";
    script += "COMP_WORDS=(";
    for (const auto &w : words)
        script += "'" + w + "' ";
    script += ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) + "\n";
    script += "fn=$(complete -p " + tool + " | sed -n 's/.*-F \\([^ ]*\\) .*/\\1/p')\n";
    script += "\"$fn\" " + tool + " \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"\n";
    script += "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
    Result r = run({"bash", "--norc", "--noprofile", "-c", script});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::set<std::string> offered;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty())
            offered.insert(line);
    return offered;
}

std::set<std::string> starting_with(const std::set<std::string> &words, const std::string &prefix)
{
    std::set<std::string> out;
    for (const auto &w : words)
        if (w.compare(0, prefix.size(), prefix) == 0)
            out.insert(w);
    return out;
}

} // namespace

TEST(ManPages, render_without_warnings_from_man_and_groff)
{
    for (const char *page : pages) {
        SCOPED_TRACE(page);
        Result m = run({"man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", man_source(page)},
                    {"LC_ALL=C.UTF-8", "MANWIDTH=80", "MANROFFSEQ="});
        EXPECT_EQ(m.status, 0);
        EXPECT_EQ(m.err, "");
        EXPECT_NE(m.out, "");

        Result g = run({"groff", "-man", "-ww", "-z", man_source(page)});
        EXPECT_EQ(g.status, 0);
        EXPECT_EQ(g.err, "");
    }
}

TEST(ManPages, carry_name_line_and_the_sections_a_reader_looks_for)
{
    for (const char *page : pages) {
        SCOPED_TRACE(page);
        Result whatis = run({"lexgrog", man_source(page)});
        EXPECT_EQ(whatis.status, 0);
        EXPECT_EQ(whatis.out.find(std::string("\"") + page + " - "),
                  man_source(page).size() + 2) << whatis.out;

        const std::string text = man_text(page);
        for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS",
                                    "FILES", "EXAMPLES", "SEE ALSO"})
            EXPECT_NE(text.find(std::string("\n") + section + "\n"), std::string::npos) << section;
    }
    // One line on what each tool does to the hardware.
    for (const char *tool : tools) {
        SCOPED_TRACE(tool);
        EXPECT_NE(man_text(tool).find("Hardware: "), std::string::npos);
    }
}

TEST(ManPages, document_every_option_of_the_tools_usage_text)
{
    for (const char *tool : tools) {
        const std::string path = tool_path(tool);
        if (path.empty() || std::string(tool) == "chanmask")
            continue;
        SCOPED_TRACE(tool);
        const std::set<std::string> opts = usage_options(usage_of(path));
        EXPECT_GE(opts.size(), 6u);
        const std::string text = man_text(tool);
        for (const auto &opt : opts)
            EXPECT_NE(text.find(opt), std::string::npos) << opt;
    }
}

TEST(Completion, offers_the_usage_options_and_nothing_the_tool_rejects)
{
    int checked = 0;
    for (const char *tool : tools) {
        const std::string path = tool_path(tool);
        if (path.empty() || std::string(tool) == "chanmask")
            continue;
        SCOPED_TRACE(tool);
        std::set<std::string> accepted = usage_options(usage_of(path));
        const std::set<std::string> offered = complete(tool, {tool, "-"});
        for (const auto &opt : accepted)
            EXPECT_EQ(offered.count(opt), 1u) << opt << " not offered";
        // --help is taken by every tool, whether its usage text lists it or not.
        accepted.insert("--help");
        for (const auto &opt : offered)
            EXPECT_EQ(accepted.count(opt), 1u) << opt << " offered but not in the usage text";
        EXPECT_EQ(complete(tool, {tool, "--"}), starting_with(offered, "--"));
        ++checked;
    }
    EXPECT_GT(checked, 0) << "no tool built to check against";
}

TEST(Completion, regdump_offers_nothing_for_a_number_argument)
{
    EXPECT_EQ(complete("regdump", {"regdump", "-d", ""}), std::set<std::string>{});
    EXPECT_EQ(complete("regdump", {"regdump", "--count", "1"}), std::set<std::string>{});
    EXPECT_EQ(complete("regdump", {"regdump", "-d", "0x50", "--i"}),
              (std::set<std::string>{"--isb", "--iob"}));
}

TEST(Completion, biasset_names_the_outputs_of_its_own_listing_and_stops_after_the_value)
{
    const std::string path = tool_path("biasset");
    if (path.empty())
        GTEST_SKIP() << "biasset not built";
    EXPECT_EQ(complete("biasset", {path, "vr"}), (std::set<std::string>{"VREF", "VRSTH"}));
    EXPECT_EQ(complete("biasset", {path, "-v", "VMUX"}), (std::set<std::string>{"VMUX1", "VMUX2"}));
    EXPECT_EQ(complete("biasset", {path, ""}).size(), 16u);
    EXPECT_EQ(complete("biasset", {path, "VREF", ""}), std::set<std::string>{});
}

TEST(Completion, update_completes_the_image_file)
{
    ScratchDir dir;
    std::ofstream(dir.path() + "/qx_lux19hs.rbf") << "image";
    EXPECT_EQ(complete("update", {"update", "-v", dir.path() + "/qx_"}),
              std::set<std::string>{dir.path() + "/qx_lux19hs.rbf"});
}

TEST(Completion, chanmask_offers_qt_options_and_platform_plugins)
{
    EXPECT_EQ(complete("chanmask", {"chanmask", "-pl"}), std::set<std::string>{"-platform"});
    EXPECT_EQ(complete("chanmask", {"chanmask", "-platform", "off"}),
              std::set<std::string>{"offscreen"});
}

// qxsim's completion offers its commands, the camera's own fault names (from
// `qxsim fault list` of the --state given), register names that peek
// takes, sensor names and the options of the trace commands.
TEST(Completion, qxsim_offers_commands_faults_registers_and_sensors)
{
    const std::string qxsim = tool_path("qxsim");
    if (qxsim.empty())
        GTEST_SKIP() << "qxsim not built";
    ScratchDir dir;
    const std::string state = dir.path() + "/camera";
    ASSERT_EQ(run({qxsim, "--state", state, "create"}).status, 0);
    std::set<std::string> commands = complete("qxsim", {qxsim, ""});
    for (const char *c : {"--state", "create", "diff", "trace", "run", "record", "replay", "fault", "peek"})
        EXPECT_EQ(commands.count(c), 1u) << c;
    EXPECT_EQ(complete("qxsim", {qxsim, "--state", state, "di"}), std::set<std::string>{"diff"});
    EXPECT_EQ(complete("qxsim", {qxsim, "--state", state, "fault", "set", "i2c-isb.0x5"}),
              std::set<std::string>{"i2c-isb.0x50.nak"});
    EXPECT_EQ(complete("qxsim", {qxsim, "--state", state, "fault", "set", "asmi.torn"}),
              (std::set<std::string>{"asmi.torn-program", "asmi.torn-erase"}));
    EXPECT_EQ(complete("qxsim", {qxsim, "create", "--sensor", "LUX19"}),
              (std::set<std::string>{"LUX19HS-C", "LUX19HS-M"}));
    EXPECT_EQ(complete("qxsim", {qxsim, "trace", "show", "--decode", "--f"}), std::set<std::string>{"--follow"});
    EXPECT_EQ(complete("qxsim", {qxsim, "trace", "export", "--vcd", "out.vcd", "--t"}),
              (std::set<std::string>{"--trace", "--to"}));
    EXPECT_EQ(complete("qxsim", {qxsim, "set", "device", "iob", "0x20", ""}),
              (std::set<std::string>{"8", "16", "32", "none"}));
    std::set<std::string> registers = complete("qxsim", {qxsim, "--state", state, "peek", ""});
    EXPECT_EQ(registers.size(), 32u);
    for (const std::string &reg : registers)
        EXPECT_EQ(run({qxsim, "--state", state, "peek", reg}).status, 0) << reg << " is not a register peek takes";
}

TEST(Install, tools_component_holds_the_tools_pages_and_completions_only)
{
    ScratchDir prefix;
    Result r = run({cmake_command, "--install", binary_dir, "--prefix", prefix.path(), "--component",
                 "tools"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    int installed = 0;
    for (const char *tool : tools) {
        SCOPED_TRACE(tool);
        const bool built = !tool_path(tool).empty();
        const std::string p = prefix.path();
        EXPECT_EQ(exists(p + "/bin/" + tool), built);
        EXPECT_EQ(exists(p + "/share/man/man1/" + tool + ".1.gz"), built);
        EXPECT_EQ(exists(p + "/share/bash-completion/completions/" + tool), built);
        installed += built;
    }
    EXPECT_GT(installed, 0);
    EXPECT_TRUE(exists(prefix.path() + "/share/doc/qx-camera-tools/changelog.gz"));
    EXPECT_FALSE(exists(prefix.path() + "/bin/qxsim"));
    EXPECT_FALSE(exists(prefix.path() + "/lib"));
    EXPECT_FALSE(exists(prefix.path() + "/share/man/man1/qxsim.1.gz"));
    EXPECT_FALSE(exists(prefix.path() + "/share/bash-completion/completions/qxsim"));

    // The installed page is the source page, compressed, with the version
    // of debian/changelog on its title line.
    if (!tool_path("update").empty()) {
        Result z = run({"gzip", "-dc", prefix.path() + "/share/man/man1/update.1.gz"});
        std::string source = slurp(man_source("update"));
        const std::string changelog = slurp(std::string(source_dir) + "/debian/changelog");
        const std::string version =
            changelog.substr(changelog.find('(') + 1, changelog.find(')') - changelog.find('(') - 1);
        const std::string product = "\"qx-camera-tools\"";
        ASSERT_NE(source.find(product), std::string::npos);
        source.replace(source.find(product), product.size(), "\"qx-camera-tools " + version + "\"");
        EXPECT_EQ(z.out, source);
        EXPECT_EQ(slurp(prefix.path() + "/share/doc/qx-camera-tools/copyright"),
                  slurp(std::string(source_dir) + "/debian/copyright"));
    }
    // An installed tool runs from its new place.
    if (!tool_path("biasset").empty()) {
        Result b = run({prefix.path() + "/bin/biasset", "-l"});
        EXPECT_EQ(b.status, 1);
        EXPECT_EQ(b.out.rfind("DAC Registers:\n", 0), 0u) << b.out;
    }
}

TEST(Install, simulator_component_holds_front_end_interposer_and_page)
{
    if (tool_path("qxsim").empty() || std::string(preload_name).empty())
        GTEST_SKIP() << "simulated camera not built";
    ScratchDir prefix;
    Result r = run({cmake_command, "--install", binary_dir, "--prefix", prefix.path(),
                    "--component", "simulator"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string libdir = prefix.path() + "/lib/qxsim";
    EXPECT_TRUE(exists(libdir + "/qxsim"));
    EXPECT_TRUE(exists(libdir + "/" + preload_name));
    EXPECT_TRUE(exists(libdir + "/libqxsim_record.so"));
    EXPECT_TRUE(exists(prefix.path() + "/share/man/man1/qxsim.1.gz"));
    EXPECT_TRUE(exists(prefix.path() + "/share/bash-completion/completions/qxsim"));
    for (const char *tool : tools)
        EXPECT_FALSE(exists(prefix.path() + "/bin/" + tool)) << tool;

    // bin/qxsim is a relative link, so the prefix can move.
    char target[256] = {};
    ASSERT_GT(readlink((prefix.path() + "/bin/qxsim").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "../lib/qxsim/qxsim");

    // Started through the link, the front end loads the installed interposer.
    const std::string state = prefix.path() + "/camera";
    Result created = run({prefix.path() + "/bin/qxsim", "--state", state, "create"});
    ASSERT_EQ(created.status, 0) << created.err;
    Result env = run({prefix.path() + "/bin/qxsim", "--state", state, "run", "--", "printenv",
                      "LD_PRELOAD"},
                     {"LD_PRELOAD="});
    EXPECT_EQ(env.status, 0) << env.err;
    EXPECT_EQ(env.out, libdir + "/" + preload_name + "\n");
}

// Both components as installed: every tool, the front end and the interposer
// carry the hardening of Debian's build flags (stack protector, fortified
// libc calls, full RELRO with immediate binding, PIE). Control-flow
// protection is not among Debian 12's flags nor available on armhf.
TEST(Install, binaries_and_interposer_pass_hardening_check)
{
    if (!hardened_build)
        GTEST_SKIP() << "built without QX_HARDENING, or with the sanitizers";
    ScratchDir prefix;
    Result r = run({cmake_command, "--install", binary_dir, "--prefix", prefix.path()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::vector<std::string> files;
    for (const char *tool : tools)
        if (!tool_path(tool).empty())
            files.push_back(prefix.path() + "/bin/" + tool);
    const size_t executables = files.size() + !tool_path("qxsim").empty();
    if (!tool_path("qxsim").empty())
        files.push_back(prefix.path() + "/lib/qxsim/qxsim");
    if (!std::string(preload_name).empty())
        files.push_back(prefix.path() + "/lib/qxsim/" + preload_name);
    ASSERT_FALSE(files.empty());

    std::vector<std::string> argv{"hardening-check", "--nocfprotection"};
    if (!fortified_build)
        argv.push_back("--nofortify");
    argv.insert(argv.end(), files.begin(), files.end());
    Result h = run(argv);
    ASSERT_NE(h.status, -1) << "hardening-check (Debian package devscripts) not found";
    EXPECT_EQ(h.status, 0) << h.out << h.err;

    auto count = [&](const std::string &verdict) {
        size_t n = 0;
        for (size_t at = h.out.find(verdict); at != std::string::npos; at = h.out.find(verdict, at + 1))
            ++n;
        return n;
    };
    for (const auto &f : files) {
        EXPECT_NE(h.out.find(f + ":\n"), std::string::npos) << f << " not checked";
    }
    EXPECT_EQ(count(" Position Independent Executable: yes\n"), executables) << h.out;
    EXPECT_EQ(count(" Stack protected: yes\n"), files.size()) << h.out;
    EXPECT_EQ(count(" Read-only relocations: yes\n"), files.size()) << h.out;
    EXPECT_EQ(count(" Immediate binding: yes\n"), files.size()) << h.out;
    if (fortified_build) {
        EXPECT_EQ(count(" Fortify Source functions: no"), 0u) << h.out;
    }
}
