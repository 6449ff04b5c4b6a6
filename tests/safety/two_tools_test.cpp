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
    REQUIRE_TOOL("dac");
    REQUIRE_TOOL("biasset");
    REQUIRE_TOOL("regdump");
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

// dac holds the master from its first write to the check of its last, so
// the acknowledgement of each of its writes is read by dac itself: with
// U14 leaving its last write unacknowledged in every run and biasset and
// regdump looping beside it, dac reports the failure every time, and the
// other tools still succeed.
void check_nak_beside_other_tools(SimCamera& sim, unsigned runs)
{
    REQUIRE_TOOL("dac");
    REQUIRE_TOOL("biasset");
    REQUIRE_TOOL("regdump");
    const std::string stop = "'" + sim.dir() + "/stop'";
    auto beside = [&stop](const std::string& body) {
        return "(while [ ! -e " + stop + " ]; do " + body + " || exit 1; done)";
    };
    Result r = sim.shell(
        beside("'" + qxtest::tool_path("biasset") + "' VREF 0x12C") + " & b=$!; " +
        beside("'" + qxtest::tool_path("regdump") + "' -i -d 0x50 -r 4 -c 4 >/dev/null") + " & c=$!; " +
        "i=0; while [ $i -lt " + std::to_string(runs) + " ]; do '" + qxtest::qxsim_path() + "' --state '" +
        sim.dir() + "' fault set i2c-isb.0x11.nak 9 || exit 4; '" + qxtest::tool_path("dac") +
        "' -u; echo \"dac=$?\" >&2; i=$((i+1)); done; : > " + stop + "; wait $b || exit 2; wait $c || exit 3");
    EXPECT_TRUE(qxtest::status_is(r, 0));
    std::string each;
    std::string statuses;
    for (unsigned i = 0; i < runs; ++i) {
        each += "i2c_wait_idle: error bit set: 0x40000000\n"
                "bool i2c_write(uint8_t, uint8_t, uint16_t): I2C never becomes idle.\n"
                "void dac_powerup(): I/O error\n";
        statuses += "dac=1\n";
    }
    EXPECT_EQ(r.out, each) << "dac reported its own NAK in every run";
    EXPECT_EQ(r.err, statuses);
    std::printf("dac beside biasset and regdump: %u runs, each reported the NAK of its last U14 write\n", runs);
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

TEST(TwoTools, dac_reads_the_outcome_of_its_own_writes_while_others_use_the_master)
{
    SimCamera sim;
    check_nak_beside_other_tools(sim, 5);
}

#else

// The full campaign: over a thousand transactions.
TEST(TwoToolsLong, over_a_thousand_transactions_none_mixed_no_byte_wrong)
{
    SimCamera sim;
    check_campaign(sim, {20, 200, 30});
}

TEST(TwoToolsLong, dac_reports_its_own_nak_in_fifty_runs_beside_biasset_and_regdump)
{
    SimCamera sim;
    check_nak_beside_other_tools(sim, 50);
}

#endif
