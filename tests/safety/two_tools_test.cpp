// Two tools at once on one camera: dac -u through the register device and
// biasset through the proc file, each in a loop. Nothing keeps them apart
// on the real board either; the camera must stay consistent (no lost or
// refused access, every command a transaction, usable afterwards), and the
// interleaving the I2C master saw is counted from the trace.
#include "sim_camera.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using qxtest::Result;
using qxtest::SimCamera;

constexpr uint32_t ISB_CONTROL = 0x180;
constexpr uint32_t ISB_REG_ADDR = 0x188;
constexpr uint32_t ISB_WR_DATA = 0x18C;

// Where the data word and register address of each write command came from.
struct Interleaving {
    unsigned commands = 0;
    unsigned own = 0;    // both set by the process (or shell family) that wrote the command
    unsigned mixed = 0;  // at least one set by the other tool in between
};

// dac's writes come by ioctl from one process, biasset's as proc lines from
// a new shell per line: told apart by the kind of record.
Interleaving interleaving(const std::vector<qxtest::TraceRecord>& t)
{
    Interleaving n;
    char data_from = 0, addr_from = 0;
    for (const qxtest::TraceRecord& x : qxtest::register_traffic(t)) {
        if (x.kind != 'W' && x.kind != 'P')
            continue;
        if (x.reg == ISB_WR_DATA)
            data_from = x.kind;
        else if (x.reg == ISB_REG_ADDR)
            addr_from = x.kind;
        else if (x.reg == ISB_CONTROL && (x.value & 0xFFF) == 0x120) {
            n.commands++;
            if (data_from == x.kind && addr_from == x.kind)
                n.own++;
            else
                n.mixed++;
        }
    }
    return n;
}

}  // namespace

TEST(TwoTools, dac_and_biasset_in_loops_leave_a_consistent_usable_camera)
{
    if (qxtest::tool_path("dac").empty() || qxtest::tool_path("biasset").empty())
        GTEST_SKIP() << "dac or biasset is not in this build";
    SimCamera sim;
    uint64_t transactions_before = 0;
    {
        auto lock = sim.model().lock();
        transactions_before = sim.model().state().i2c[qxsim::BUS_ISB].transactions;
    }
    const std::string dac = qxtest::tool_path("dac"), biasset = qxtest::tool_path("biasset");
    Result r = sim.shell("(i=0; while [ $i -lt 6 ]; do '" + dac + "' -u >/dev/null || exit 1; i=$((i+1)); done) & a=$!; "
                         "(i=0; while [ $i -lt 40 ]; do '" + biasset + "' VPIX $((i*20)) || exit 1; i=$((i+1)); done) & b=$!; "
                         "wait $a || exit 1; wait $b || exit 2");
    EXPECT_TRUE(qxtest::status_is(r, 0)) << r.out << r.err;

    std::vector<qxtest::TraceRecord> t = sim.trace();
    Interleaving n = interleaving(t);
    std::printf("two tools: %u write commands, %u with their own data and address, %u mixed\n",
                n.commands, n.own, n.mixed);
    EXPECT_EQ(n.commands, 6u * 19u + 40u) << "every write command of both tools reached the master";
    {
        auto lock = sim.model().lock();
        const qxsim::CameraState& s = sim.model().state();
        EXPECT_EQ(s.core.failed, 0u) << "no access failed";
        EXPECT_EQ(s.core.proc_refused, 0u) << "no proc line refused";
        EXPECT_EQ(s.core.lock_recoveries, 0u);
        EXPECT_EQ(s.i2c[qxsim::BUS_ISB].transactions - transactions_before, uint64_t(n.commands))
            << "each command one transaction";
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
