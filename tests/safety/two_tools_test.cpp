// Tools at once on one camera, as the camera's scripts and a service
// engineer's shell run them: dac -u through the register device, biasset
// through the proc file and regdump -i reading the identification memory,
// each in a loop. Each holds the ISB master's lock for its transactions, so
// no transaction may be mixed with another tool's accesses and no byte read
// may be wrong; the camera stays consistent and usable.
#include "sim_camera.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;

constexpr uint32_t ISB_BASE = 0x180;
constexpr uint32_t ISB_END = 0x194;
constexpr uint32_t ISB_CONTROL = 0x180;
constexpr uint32_t ISB_REG_ADDR = 0x188;
constexpr uint32_t ISB_WR_DATA = 0x18C;

struct Interleaving {
    unsigned writes = 0;  // write commands
    unsigned reads = 0;   // read transactions whose data was collected
    unsigned mixed = 0;   // another tool touched the master inside one of them
};

// A transaction runs from its first set-up write (data word or register
// address) to its command word (a write) or to the read-back of the width
// flags after its data (a read). An access to the master by anyone else
// inside that window mixes it. dac and regdump are told apart by pid;
// biasset's proc lines come from a new shell each and stand for one tool.
Interleaving interleaving(const std::vector<qxtest::TraceRecord>& t)
{
    struct Open {
        bool mixed = false;
        bool read = false;  // read command sent, data not yet collected
    };
    std::map<std::string, Open> open;
    Interleaving n;
    for (const qxtest::TraceRecord& x : qxtest::register_traffic(t)) {
        if (x.reg < ISB_BASE || x.reg >= ISB_END)
            continue;
        const std::string actor = x.kind == 'P' ? "proc" : std::to_string(x.pid);
        for (auto& [who, o] : open)
            if (who != actor)
                o.mixed = true;
        const bool write = x.kind == 'W' || x.kind == 'P';
        if (write && (x.reg == ISB_WR_DATA || x.reg == ISB_REG_ADDR)) {
            open.emplace(actor, Open());
        } else if (write && x.reg == ISB_CONTROL) {
            auto it = open.find(actor);
            const bool own_setup = it != open.end() && !it->second.mixed;
            if ((x.value & 0xFFF) == 0x120) {
                n.writes++;
                n.mixed += !own_setup;
                if (it != open.end())
                    open.erase(it);
            } else if (it != open.end()) {
                it->second.read = true;
            }
        } else if (x.kind == 'R' && x.reg == ISB_CONTROL) {
            auto it = open.find(actor);
            if (it != open.end() && it->second.read) {
                n.reads++;
                n.mixed += it->second.mixed;
                open.erase(it);
            }
        }
    }
    return n;
}

struct CampaignSize {
    unsigned dac_runs, biasset_runs, regdump_runs;
    unsigned transactions() const { return dac_runs * 19 + biasset_runs + regdump_runs * 16; }
};

struct Figures {
    Interleaving n;
    unsigned regdump_rows = 0, wrong_bytes = 0;
    uint64_t master_transactions = 0;  // as the ISB master counted them
    Result shell;
};

uint64_t isb_transactions(SimCamera& sim)
{
    auto lock = sim.model().lock();
    return sim.model().state().i2c[qxsim::BUS_ISB].transactions;
}

// The three loops at once; regdump's rows are compared byte for byte with
// what the identification memory answers when it is read alone.
Figures run_campaign(SimCamera& sim, const CampaignSize& size)
{
    Figures f;
    const std::string reference = sim.run({"regdump", "-i", "-d", "0x50", "-c", "16"}).out;
    sim.clear_trace();
    const uint64_t transactions_before = isb_transactions(sim);
    const std::string dac = qxtest::tool_path("dac"), biasset = qxtest::tool_path("biasset"),
                      regdump = qxtest::tool_path("regdump"), rows = sim.dir() + "/regdump.rows";
    auto loop = [](unsigned runs, const std::string& body) {
        return "(i=0; while [ $i -lt " + std::to_string(runs) + " ]; do " + body + " || exit 1; i=$((i+1)); done)";
    };
    f.shell = sim.shell(loop(size.dac_runs, "'" + dac + "' -u >/dev/null") + " & a=$!; " +
                        loop(size.biasset_runs, "'" + biasset + "' VPIX $(( (i * 20) % 1000 ))") + " & b=$!; " +
                        loop(size.regdump_runs, "'" + regdump + "' -i -d 0x50 -c 16 >>'" + rows +
                                                    "' && sleep 0.02") +
                        " & c=$!; wait $a || exit 1; wait $b || exit 2; wait $c || exit 3");
    f.n = interleaving(sim.trace());
    f.master_transactions = isb_transactions(sim) - transactions_before;

    std::ifstream in(rows);
    std::string line, ref_line = reference.substr(0, reference.find('\n'));
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        f.regdump_rows++;
        for (size_t i = 0; i < std::max(line.size(), ref_line.size()); i += 3)
            f.wrong_bytes += line.compare(i, 3, ref_line, i, 3) != 0;
    }
    return f;
}

void check_campaign(SimCamera& sim, const CampaignSize& size)
{
    if (qxtest::tool_path("dac").empty() || qxtest::tool_path("biasset").empty() ||
        qxtest::tool_path("regdump").empty())
        GTEST_SKIP() << "dac, biasset or regdump is not in this build";
    Figures f = run_campaign(sim, size);
    EXPECT_TRUE(qxtest::status_is(f.shell, 0));
    EXPECT_EQ(f.shell.err.find("held by another process"), std::string::npos) << "no tool waited in vain: " << f.shell.err;
    EXPECT_EQ(f.shell.err.find("without locking"), std::string::npos) << f.shell.err;
    std::printf("tools at once: %u write commands, %u reads, %u mixed; %u regdump rows, %u wrong bytes\n",
                f.n.writes, f.n.reads, f.n.mixed, f.regdump_rows, f.wrong_bytes);

    EXPECT_EQ(f.n.writes, size.dac_runs * 19 + size.biasset_runs) << "every write command reached the master";
    EXPECT_EQ(f.n.reads, size.regdump_runs * 16) << "every read collected its data";
    EXPECT_EQ(f.master_transactions, uint64_t(f.n.writes + f.n.reads)) << "each command one transaction";
    EXPECT_GE(f.n.writes + f.n.reads, size.transactions());
    EXPECT_EQ(f.n.mixed, 0u);
    EXPECT_EQ(f.regdump_rows, size.regdump_runs);
    EXPECT_EQ(f.wrong_bytes, 0u);
    {
        auto lock = sim.model().lock();
        const qxsim::CameraState& s = sim.model().state();
        EXPECT_EQ(s.core.failed, 0u) << "no access failed";
        EXPECT_EQ(s.core.proc_refused, 0u) << "no proc line refused";
        EXPECT_EQ(s.core.lock_recoveries, 0u);
        EXPECT_EQ(s.i2c[qxsim::BUS_ISB].busy_left, 0u);
    }

    // Alone again, each tool gets exactly what it asks for.
    EXPECT_TRUE(qxtest::status_is(sim.run({"dac", "-u"}), 0));
    EXPECT_TRUE(qxtest::status_is(sim.run({"biasset", "VPIX", "450"}), 0));
    auto lock = sim.model().lock();
    const qxsim::DacState& d = sim.model().state().dac;
    EXPECT_EQ(d.u12.outputs[0].code, 0x012C) << "VREF from the power-up table";
    EXPECT_EQ(d.u14.outputs[7].code, 0x00E1) << "VMUX2 from the power-up table";
    EXPECT_EQ(d.u14.outputs[3].code, 450) << "VPIX from biasset";
    for (unsigned i = 0; i < qxsim::DAC_CHIP_OUTPUTS; i++) {
        EXPECT_EQ(d.u12.outputs[i].powered, 1) << "U12 output " << i;
        EXPECT_EQ(d.u14.outputs[i].powered, 1) << "U14 output " << i;
    }
}

}  // namespace

#ifndef QX_TWO_TOOLS_LONG

namespace {

std::vector<qxtest::TraceRecord> records(const char* text)
{
    std::vector<qxtest::TraceRecord> t;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        t.push_back(qxtest::parse_trace_line(line));
    return t;
}

}  // namespace

// The count itself: a command that carries another tool's data word is
// mixed, and so is a read whose window another tool's access fell into.
TEST(TwoTools, interleaving_counts_mixed_writes_and_reads)
{
    Interleaving mixed = interleaving(records("10 W 0x0000018c 0x00004b00\n"
                                              "20 P w 0x18c 0x7080\n"
                                              "10 W 0x00000188 0x00000000\n"
                                              "10 W 0x00000180 0x00010120\n"
                                              "21 P w 0x188 0x33\n"
                                              "22 P w 0x180 0x11120\n"
                                              "30 W 0x00000188 0x00000004\n"
                                              "30 W 0x00000180 0x00050111\n"
                                              "10 R 0x00000184 0x00000000\n"
                                              "30 R 0x00000184 0x00000000\n"
                                              "30 R 0x00000190 0x00000058\n"
                                              "30 R 0x00000180 0x00000000\n"));
    EXPECT_EQ(mixed.writes, 2u);
    EXPECT_EQ(mixed.reads, 1u);
    EXPECT_EQ(mixed.mixed, 3u);

    Interleaving clean = interleaving(records("10 R 0x00000184 0x00000000\n"
                                              "10 W 0x0000018c 0x00004b00\n"
                                              "10 W 0x00000188 0x00000000\n"
                                              "10 W 0x00000180 0x00010120\n"
                                              "20 P w 0x18c 0x7080\n"
                                              "21 P w 0x188 0x33\n"
                                              "22 P w 0x180 0x11120\n"
                                              "30 R 0x00000184 0x00000000\n"
                                              "30 W 0x00000188 0x00000004\n"
                                              "30 W 0x00000180 0x00050111\n"
                                              "30 R 0x00000184 0x00000000\n"
                                              "30 R 0x00000190 0x00000058\n"
                                              "30 R 0x00000180 0x00000000\n"));
    EXPECT_EQ(clean.writes, 2u);
    EXPECT_EQ(clean.reads, 1u);
    EXPECT_EQ(clean.mixed, 0u);
}

TEST(TwoTools, dac_biasset_and_regdump_in_loops_never_mix_a_transaction)
{
    SimCamera sim;
    check_campaign(sim, {4, 30, 6});
}

#else

// The full campaign: over a thousand transactions. For comparison, the same
// loops on a camera without a lock folder, where the tools run unlocked.
TEST(TwoToolsLong, over_a_thousand_transactions_none_mixed_no_byte_wrong)
{
    const CampaignSize size = {20, 200, 30};
    SimCamera sim;
    check_campaign(sim, size);

    SimCamera unlocked;
    ASSERT_EQ(::rmdir((unlocked.dir() + "/locks").c_str()), 0);
    Figures f = run_campaign(unlocked, size);
    std::printf("unlocked, for comparison: %u write commands, %u reads, %u mixed; %u wrong bytes in %u rows\n",
                f.n.writes, f.n.reads, f.n.mixed, f.wrong_bytes, f.regdump_rows);
}

#endif
