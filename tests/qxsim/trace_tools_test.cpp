// The trace in other people's tools and at a glance: the waveform export
// read back by sigrok-cli's I2C decoder and by GTKWave's vcd2fst, the
// decoded view that follows running tools, and its collapsed form.
#include "sim_camera.h"

#include "qxsim/trace/decoded_i2c.h"
#include "qxsim/trace/trace_decoder.h"

#include <fmt/format.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using qxtest::Result;
using qxtest::SimCamera;

using qxtest::read_file;

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

// A host program through the shell: its standard output and error, status.
Result host(const std::string& command)
{
    Result r;
    char err_path[] = "/tmp/qxtest-host-XXXXXX";
    int fd = ::mkstemp(err_path);
    ::close(fd);
    std::FILE* p = ::popen((command + " 2>" + err_path).c_str(), "r");
    char buf[4096];
    size_t n;
    while (p && (n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int status = p ? ::pclose(p) : -1;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = read_file(err_path);
    ::unlink(err_path);
    return r;
}

[[maybe_unused]] bool have(const char* program)
{
    return host(std::string("command -v ") + program).status == 0;
}

// The consumers are build-machine programs; a cross build's tests run under
// an emulator without them.
#ifdef QXTEST_CROSS
#define NEEDS_WAVEFORM_TOOLS() \
    GTEST_SKIP() << "sigrok-cli and vcd2fst are build-machine programs: not run in a cross build"
#else
#define NEEDS_WAVEFORM_TOOLS()                                                                    \
    do {                                                                                          \
        ASSERT_TRUE(have("sigrok-cli") && have("vcd2fst"))                                        \
            << "the waveform tests need sigrok-cli and gtkwave (scripts/install-deps.sh)";        \
    } while (0)
#endif

// One transaction as it went over the wire.
struct Wire {
    int dev = -1;
    bool slave_nak = false;
    bool read_phase = false;
    std::vector<int> written;  // bytes after the address
    std::vector<int> read;
};

bool operator==(const Wire& a, const Wire& b)
{
    return a.dev == b.dev && a.slave_nak == b.slave_nak && a.read_phase == b.read_phase && a.written == b.written &&
           a.read == b.read;
}

std::ostream& operator<<(std::ostream& o, const Wire& w)
{
    o << fmt::format("dev 0x{:02x}{} written", w.dev, w.read_phase ? " read" : "");
    for (int b : w.written)
        o << fmt::format(" {:02x}", b);
    o << " read";
    for (int b : w.read)
        o << fmt::format(" {:02x}", b);
    return o << (w.slave_nak ? " NAK" : " ack");
}

// sigrok-cli's i2c decoder over one master's lines of the export (idle
// stretches over 100 us shortened, which changes no decoding and spares
// sigrok most of dac's 10 ms pauses at 1 GHz).
std::vector<Wire> sigrok_transactions(const std::string& vcd, const std::string& bus)
{
    Result r = host(fmt::format("sigrok-cli -I vcd:compress=100000 -i '{}' -P i2c:scl={}_scl:sda={}_sda -A i2c=addr-data", vcd, bus, bus));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "sigrok-cli loads the whole file without a complaint";
    std::vector<Wire> out;
    Wire w;
    std::string last;
    for (const std::string& line : lines_of(r.out)) {
        std::string a = line.substr(line.find(": ") + 2);
        unsigned v = 0;
        if (a == "Start") {
            w = Wire();
        } else if (std::sscanf(a.c_str(), "Address write: %x", &v) == 1) {
            w.dev = static_cast<int>(v);
        } else if (std::sscanf(a.c_str(), "Address read: %x", &v) == 1) {
            EXPECT_EQ(w.dev, static_cast<int>(v)) << "the same device after the repeated start";
            w.read_phase = true;
        } else if (std::sscanf(a.c_str(), "Data write: %x", &v) == 1) {
            w.written.push_back(static_cast<int>(v));
        } else if (std::sscanf(a.c_str(), "Data read: %x", &v) == 1) {
            w.read.push_back(static_cast<int>(v));
        } else if (a == "NACK" && last.rfind("Data read", 0) != 0) {
            w.slave_nak = true;  // after the last byte read, the NACK is the master's
        } else if (a == "Stop") {
            out.push_back(w);
        }
        last = a;
    }
    return out;
}

// Our decoder's transactions of one master, as they would go over the wire.
// A transaction it saw refused shows on the wire up to the byte that was not
// acknowledged, which the decoder cannot know: *nak_prefix keeps the index
// of those, whose written bytes are compared as far as the wire carries them.
std::vector<Wire> decoded_transactions(const std::string& trace_text, int bus, std::vector<size_t>* refused)
{
    std::vector<Wire> out;
    for (const qxsim::DecodedEntry& e : qxsim::decode_trace_text(trace_text)) {
        qxsim::I2cTransfer t;
        if (!qxsim::decoded_i2c_transfer(e, &t) || t.bus != bus)
            continue;
        Wire w;
        w.dev = t.dev;
        w.written.push_back(t.reg);
        if (!t.ack) {
            w.slave_nak = true;
            refused->push_back(out.size());
        } else if (t.read) {
            w.read_phase = true;
            for (unsigned i = 0; i < t.width; i++)
                w.read.push_back(static_cast<int>((t.data >> (8 * (t.width - 1 - i))) & 0xFF));
        } else {
            w.written.push_back(static_cast<int>(t.data >> 8));
            w.written.push_back(static_cast<int>(t.data & 0xFF));
        }
        out.push_back(w);
    }
    return out;
}

// sigrok's reading of the export equals our decoder's reading of the trace,
// transaction by transaction.
void expect_sigrok_agrees(const std::string& vcd, const std::string& trace_text, size_t* naks)
{
    std::vector<size_t> refused;
    std::vector<Wire> ours = decoded_transactions(trace_text, 1, &refused);
    std::vector<Wire> theirs = sigrok_transactions(vcd, "isb");
    ASSERT_EQ(theirs.size(), ours.size());
    for (size_t i = 0; i < ours.size(); i++) {
        SCOPED_TRACE(fmt::format("transaction {}", i));
        bool nak = std::find(refused.begin(), refused.end(), i) != refused.end();
        if (!nak) {
            EXPECT_EQ(theirs[i], ours[i]);
            continue;
        }
        // on the wire up to the refused byte: the address, maybe the register
        EXPECT_EQ(theirs[i].dev, ours[i].dev);
        EXPECT_TRUE(theirs[i].slave_nak);
        EXPECT_TRUE(theirs[i].read.empty());
        ASSERT_LE(theirs[i].written.size(), 1u);
        if (!theirs[i].written.empty()) {
            EXPECT_EQ(theirs[i].written[0], ours[i].written[0]);
        }
    }
    *naks = refused.size();
}

// The runs of the cross-check: every DAC write of a power-up, reads of 8 and
// 32 bits, a register the identification memory refuses and an address
// nobody answers.
const char* const CROSS_CHECK_RUNS =
    "dac -u && regdump -i -d 0x50 -r 0 -c 16 && regdump -i -d 0x48 -r 0 -c 2; "
    "regdump -i -d 0x50 -r 0x1e -c 4; regdump -i -d 0x42 -c 1; exit 0";

std::string tools_on_path()
{
    std::string dirs;
    for (const char* tool : {"dac", "regdump"}) {
        std::string p = qxtest::tool_path(tool);
        dirs += p.substr(0, p.rfind('/')) + ":";
    }
    return dirs;
}

}  // namespace

// The camera's own trace is drawn from what its devices saw; sigrok's
// decoder, reading the lines only, finds what our decoder found in the
// register accesses, on every transaction. A recording of the same runs,
// which has no devices' view, is drawn from our decoder's transactions.
TEST(TraceExport, sigrok_decodes_what_our_decoder_decodes_from_camera_and_recording)
{
    NEEDS_WAVEFORM_TOOLS();
    if (qxtest::tool_path("dac").empty() || qxtest::tool_path("regdump").empty())
        GTEST_SKIP() << "dac or regdump not built";
    SimCamera sim;
    ASSERT_TRUE(qxtest::status_is(sim.cli({"set", "device", "isb", "0x48", "32", "adc"}), 0));
    ASSERT_TRUE(qxtest::status_is(sim.cli({"set", "device-reg", "isb", "0x48", "1", "0x89abcdef"}), 0));
    sim.fault("i2c-isb.0x50.nak", {"0x20"});
    const std::string runs = "PATH=" + tools_on_path() + "$PATH; " + CROSS_CHECK_RUNS;
    Result r = sim.shell(runs);
    ASSERT_TRUE(qxtest::status_is(r, 0));
    std::string traced = read_file(sim.dir() + "/trace.log");
    EXPECT_NE(traced.find(" I isb 0x50 R 0x20 - nak-reg\n"), std::string::npos) << "the device's own NAK";
    EXPECT_NE(traced.find(" I isb 0x42 R 0x00 - nak\n"), std::string::npos) << "nobody at 0x42";

    const std::string vcd = sim.dir() + "/camera.vcd";
    Result e = sim.cli({"trace", "export", "--vcd", vcd});
    ASSERT_TRUE(qxtest::status_is(e, 0));
    EXPECT_TRUE(qxtest::stdout_contains(e, "from the devices' view"));
    size_t naks = 0;
    expect_sigrok_agrees(vcd, traced, &naks);
    EXPECT_EQ(naks, 2u);
    std::string header = read_file(vcd).substr(0, 2000);
    EXPECT_NE(header.find("drawn later than their command write"), std::string::npos)
        << "regdump's reads come faster than 400 kHz carries them: " << header;
    Result fst = host(fmt::format("vcd2fst '{}' '{}.fst'", vcd, vcd));
    EXPECT_EQ(fst.status, 0) << fst.err;
    EXPECT_GT(read_file(vcd + ".fst").size(), 100u);

    // the same runs recorded: no devices' view
    sim.clear_trace();
    const std::string session = sim.dir() + "/session.trace";
    r = sim.cli({"record", "-o", session, "--sim", "--", "/bin/sh", "-c", runs});
    ASSERT_TRUE(qxtest::status_is(r, 0));
    std::string recorded = read_file(session);
    EXPECT_EQ(recorded.find(" I "), std::string::npos);
    e = sim.cli({"trace", "export", "--vcd", vcd, "--trace", session});
    ASSERT_TRUE(qxtest::status_is(e, 0));
    EXPECT_TRUE(qxtest::stdout_contains(e, "from the decoded trace"));
    expect_sigrok_agrees(vcd, recorded, &naks);
    EXPECT_EQ(naks, 2u);
    fst = host(fmt::format("vcd2fst '{}' '{}.fst'", vcd, vcd));
    EXPECT_EQ(fst.status, 0) << fst.err;
}

namespace {

// Value changes per signal name of a VCD file, numbers as written.
std::map<std::string, std::vector<std::string>> vcd_values(const std::string& path)
{
    std::map<std::string, std::string> names;
    std::map<std::string, std::vector<std::string>> values;
    bool dump = false;  // the values the file starts with are no changes
    for (const std::string& line : lines_of(read_file(path))) {
        char id[8], name[64];
        if (line == "$dumpvars" || line == "$end") {
            dump = line == "$dumpvars";
        } else if (dump) {
            continue;
        } else if (std::sscanf(line.c_str(), "$var %*s %*d %7s %63s $end", id, name) == 2) {
            names[id] = name;
        } else if (!line.empty() && (line[0] == '0' || line[0] == '1') && names.count(line.substr(1))) {
            values[names[line.substr(1)]].push_back(line.substr(0, 1));
        } else if (!line.empty() && line[0] == 'r') {
            size_t blank = line.find(' ');
            values[names[line.substr(blank + 1)]].push_back(line.substr(1, blank - 1));
        }
    }
    return values;
}

size_t count(const std::vector<std::string>& v, const std::string& x)
{
    return static_cast<size_t>(std::count(v.begin(), v.end(), x));
}

std::string small_image(const SimCamera& sim)
{
    std::string path = sim.dir() + "/small.rbf";
    std::string data(4096, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>((i * 7 + 3) & 0x7F);
    std::ofstream(path, std::ios::binary) << data;
    return path;
}

}  // namespace

// An update's flash traffic: one span per erase, page program and read,
// the controller's registers as numbers, the process behind them; a
// selection by process or by time keeps only what it names.
TEST(TraceExport, flash_operations_are_spans_and_selections_keep_what_they_name)
{
    NEEDS_WAVEFORM_TOOLS();
    if (qxtest::tool_path("update").empty() || qxtest::tool_path("regdump").empty())
        GTEST_SKIP() << "update or regdump not built";
    SimCamera sim;
    const std::vector<std::string> regdump = {"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "4"};
    ASSERT_TRUE(qxtest::status_is(sim.run(regdump), 0));
    ASSERT_TRUE(qxtest::status_is(sim.run({"update", small_image(sim)}), 0));
    ASSERT_TRUE(qxtest::status_is(sim.run(regdump), 0));
    std::vector<qxsim::DecodedEntry> entries = qxsim::decode_trace_text(read_file(sim.dir() + "/trace.log"));
    std::vector<int32_t> pids;
    uint64_t update_start = 0, update_end = 0;
    for (const qxsim::DecodedEntry& e : entries) {
        if (pids.empty() || pids.back() != e.pid)
            pids.push_back(e.pid);
        if (pids.size() == 2) {
            update_start = update_start ? update_start : e.time_ns;
            update_end = e.end_ns;
        }
    }
    ASSERT_EQ(pids.size(), 3u);
    const std::string a = std::to_string(pids[0]), update = std::to_string(pids[1]), b = std::to_string(pids[2]);

    const std::string vcd = sim.dir() + "/update.vcd";
    ASSERT_TRUE(qxtest::status_is(sim.cli({"trace", "export", "--vcd", vcd}), 0));
    auto v = vcd_values(vcd);
    EXPECT_EQ(count(v["flash_erase"], "1"), 2u) << "the offset sector and one application sector";
    EXPECT_EQ(count(v["flash_program"], "1"), 17u) << "16 pages and the offset record";
    EXPECT_EQ(count(v["flash_read"], "1"), 16u);
    EXPECT_GE(count(v["flash_busy"], "1"), 35u);
    EXPECT_EQ(count(v["flash_addr"], "33554432"), 2u) << "0x2000000 as a number: erase and programs, then reads";
    EXPECT_EQ(count(v["flash_wr_level"], "64"), 16u) << "a page of words before each program";
    EXPECT_EQ(v["flash_pid"], std::vector<std::string>{update});
    EXPECT_EQ(v["isb_pid"], (std::vector<std::string>{a, b}));
    Result fst = host(fmt::format("vcd2fst '{}' '{}.fst'", vcd, vcd));
    EXPECT_EQ(fst.status, 0) << fst.err;
    EXPECT_EQ(sigrok_transactions(vcd, "isb").size(), 8u) << "beside the flash's numbers";

    // update alone, by process or by time; the second regdump by process
    auto seconds = [](uint64_t ns) { return fmt::format("{}.{:09}", ns / 1000000000u, ns % 1000000000u); };
    const struct {
        std::vector<std::string> selection;
        size_t programs;
        std::vector<std::string> isb_pids;
        size_t transactions;
    } cases[] = {
        {{"--pid", update}, 17, {}, 0},
        {{"--from", seconds(update_start), "--to", seconds(update_end)}, 17, {}, 0},
        {{"--pid", b}, 0, {b}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selection[0] + " " + c.selection[1]);
        std::vector<std::string> args = {"trace", "export", "--vcd", vcd};
        args.insert(args.end(), c.selection.begin(), c.selection.end());
        ASSERT_TRUE(qxtest::status_is(sim.cli(args), 0));
        v = vcd_values(vcd);
        EXPECT_EQ(count(v["flash_program"], "1"), c.programs);
        EXPECT_EQ(v["isb_pid"], c.isb_pids);
        EXPECT_EQ(sigrok_transactions(vcd, "isb").size(), c.transactions);
    }
    Result bad = sim.cli({"trace", "export", "--vcd", vcd, "--from", "2.5", "--to", "1"});
    EXPECT_TRUE(qxtest::status_is(bad, 2));
}

// --collapse folds an update's page programs and reads into one line each
// and leaves every other line as the full view has it.
TEST(TraceShow, collapse_folds_runs_of_programs_and_reads_only)
{
    if (qxtest::tool_path("update").empty())
        GTEST_SKIP() << "update not built";
    SimCamera sim;
    ASSERT_TRUE(qxtest::status_is(sim.run({"update", small_image(sim)}), 0));
    Result full = sim.cli({"trace", "show", "--decode"});
    Result folded = sim.cli({"trace", "show", "--decode", "--collapse"});
    ASSERT_TRUE(qxtest::status_is(folded, 0));
    std::vector<std::string> all = lines_of(full.out), some = lines_of(folded.out);
    size_t programs = 0, kept = 0;
    for (const std::string& line : all)
        programs += line.find(" flash    program 256 bytes at ") != std::string::npos;
    EXPECT_EQ(programs, 16u);
    std::vector<std::string> folds;
    for (const std::string& line : some) {
        if (std::find(all.begin(), all.end(), line) != all.end())
            kept++;
        else
            folds.push_back(line.substr(line.find(" flash ") + 10));
    }
    ASSERT_EQ(folds.size(), 2u) << folded.out;
    EXPECT_EQ(folds[0].substr(0, folds[0].rfind(", ")),
              "program 0x02000000..0x02000fff in 16 page programs, 4096 bytes (image data)");
    EXPECT_EQ(folds[1].substr(0, folds[1].rfind(", ")), "read 0x02000000..0x02000fff in 16 reads, 4096 bytes (image data)");
    EXPECT_EQ(kept + 32, all.size()) << "every other line unchanged";
    EXPECT_EQ(kept + 2, some.size());
}

// --follow prints the decoded lines of tools as they run, filtered to one
// block, and goes on doing so for the next tool.
TEST(TraceShow, follow_prints_entries_while_tools_run)
{
    if (qxtest::tool_path("regdump").empty())
        GTEST_SKIP() << "regdump not built";
    SimCamera sim;
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t follower = ::fork();
    if (follower == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(qxtest::qxsim_path().c_str(), "qxsim", "--state", sim.dir().c_str(), "trace", "show", "--decode",
                "--follow", "--block", "i2c-isb", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string got;
    // Reads until `lines` lines have come, for at most 10 s.
    auto wait_lines = [&](size_t lines) {
        for (int waited = 0; lines_of(got).size() < lines && waited < 100; waited++) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) {
                char buf[4096];
                ssize_t n = ::read(out[0], buf, sizeof buf);
                if (n <= 0)
                    break;
                got.append(buf, static_cast<size_t>(n));
            }
        }
    };
    ASSERT_TRUE(qxtest::status_is(sim.run({"regdump", "-i", "-d", "0x50", "-r", "4", "-c", "2"}), 0));
    wait_lines(2);
    ASSERT_TRUE(qxtest::status_is(sim.run({"regdump", "-i", "-d", "0x50", "-r", "6", "-c", "1"}), 0));
    wait_lines(3);
    ::kill(follower, SIGTERM);
    ::waitpid(follower, nullptr, 0);
    ::close(out[0]);
    std::string expected;
    for (const std::string& line : lines_of(sim.cli({"trace", "show", "--decode"}).out))
        if (line.find(" i2c-isb ") != std::string::npos)
            expected += line + "\n";
    EXPECT_EQ(lines_of(expected).size(), 3u);
    EXPECT_EQ(got, expected);
}
