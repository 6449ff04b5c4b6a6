// `qxsim power-cycle`: what a camera loses and keeps when its power is
// removed and restored, and `qxsim factory-reset` beside it.
#include "sim_camera.h"

#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/devices/dac_chip.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/devices/register_device.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::status_is;

// A 512-byte image, two page programs.
std::string write_image(const SimCamera& sim)
{
    std::string path = sim.dir() + "/app.bin";
    std::ofstream f(path, std::ios::binary);
    for (int i = 0; i < 512; i++)
        f.put(static_cast<char>(i * 7 + 1));
    return path;
}

// Number of the register access (1 = first) that writes `value` to `reg`.
uint64_t access_of(const std::vector<qxtest::TraceRecord>& trace, uint32_t reg, uint32_t value)
{
    uint64_t n = 0;
    for (const qxtest::TraceRecord& t : qxtest::register_traffic(trace)) {
        n++;
        if (t.kind == 'W' && t.reg == reg && t.value == value)
            return n;
    }
    return 0;
}

// A sector erase through the controller's registers, as update issues it;
// the status afterwards.
uint32_t erase_sector(SimCamera& sim, uint32_t addr)
{
    sim.poke(qxsim::ASMI_STATUS, qxsim::ASMI_STATUS_ERASE_ERR);
    sim.poke(qxsim::ASMI_CMD, qxsim::ASMI_4BYTE_MODE);
    sim.poke(qxsim::ASMI_ADDR, addr);
    sim.poke(qxsim::ASMI_CMD, qxsim::ASMI_SECTOR_ERASE);
    return sim.peek(qxsim::ASMI_STATUS);
}

}  // namespace

TEST(PowerCycle, cut_after_the_unlock_comes_back_at_0x68_with_the_factory_region_protected)
{
    REQUIRE_TOOL("update");
    // Where the unlock falls in an uncut run.
    SimCamera uncut;
    ASSERT_TRUE(status_is(uncut.run({"update", write_image(uncut)}), 0));
    uint64_t unlock = access_of(uncut.trace(), qxsim::ASMI_CMD, qxsim::ASMI_PROTECT);
    ASSERT_GT(unlock, 0u);

    SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    sim.fault("power-cut", {std::to_string(unlock + 1)});
    EXPECT_EQ(sim.run({"update", write_image(sim)}).signal, SIGKILL);
    uint8_t factory_byte = 0;
    {
        auto lock = sim.model().lock();
        EXPECT_EQ(sim.model().asmi().flash().status_reg(), 0x68) << "killed after the unlock";
        EXPECT_TRUE(sim.model().asmi().flash().four_byte());
        factory_byte = sim.model().asmi().flash().store().byte(0);
    }

    Result r = sim.cli({"power-cycle"});
    EXPECT_TRUE(status_is(r, 0));
    EXPECT_TRUE(qxtest::stdout_starts_with(r, "  boot 2 (power-on): factory image at 0x0000000"));
    EXPECT_TRUE(qxtest::stdout_contains(sim.cli({"show"}),
                                        "protection 0x68: sectors 0..511 (0x0000000..0x1FFFFFF) protected"));
    {
        auto lock = sim.model().lock();
        const qxsim::EpcqFlash& chip = sim.model().asmi().flash();
        EXPECT_EQ(chip.status_reg(), 0x68) << "the protection bits are non-volatile";
        EXPECT_EQ(chip.protected_range().first_sector, 0u);
        EXPECT_EQ(chip.protected_range().sectors, 512u);
        EXPECT_FALSE(chip.four_byte()) << "4-byte mode is volatile";
    }
    // The factory region refuses an erase; the application region takes one.
    EXPECT_TRUE(erase_sector(sim, 0x0000000) & qxsim::ASMI_STATUS_ERASE_ERR);
    EXPECT_FALSE(erase_sector(sim, 0x2000000) & qxsim::ASMI_STATUS_ERASE_ERR);
    auto lock = sim.model().lock();
    EXPECT_EQ(sim.model().asmi().flash().store().byte(0), factory_byte);
    EXPECT_EQ(sim.model().asmi().flash().state().erases, 1u);
    EXPECT_EQ(sim.model().asmi().flash().state().refused_erases, 1u);
}

// What the FPGA holds goes back to its power-on values on a power cycle and
// on a reconfiguration (the FPGA reloaded) alike; the devices outside it
// (the DAC chips, the flash chip's address mode, the register devices)
// lose their state only with the power.
TEST(PowerCycle, volatile_state_returns_to_power_on_and_the_rest_stays)
{
    REQUIRE_TOOL("dac");
    const struct {
        const char* name;
        std::vector<std::string> command;
        bool power;
    } events[] = {{"power cycle", {"power-cycle"}, true}, {"reconfiguration", {"poke", "ASMI_RECONFIG", "0x10"}, false}};
    for (const auto& ev : events) {
        SCOPED_TRACE(ev.name);
        SimCamera sim;
        ASSERT_TRUE(status_is(sim.run({"dac", "-u"}), 0));
        // Registers of every block, a FIFO, the flash's address mode.
        sim.poke(0x8210, 0x12345);
        sim.poke(0x8170, 0x1114);
        sim.poke(0x8000, 0xABC);
        sim.poke(0x168, 0x33);
        sim.poke(qxsim::ASMI_WR_FIFO, 1);
        sim.poke(qxsim::ASMI_PROTECT_CODE, 0x68);
        sim.poke(qxsim::ASMI_CMD, qxsim::ASMI_4BYTE_MODE);
        sim.poke(qxsim::ASMI_LENGTH, 8);
        sim.poke(qxsim::ASMI_CMD, qxsim::ASMI_READ);
        // What the bench set: sensor, a device and its register, faults, bus power.
        sim.setup()
            .sensor("LINCE5M-M")
            .device(qxsim::BUS_ISB, 0x2a, 16, "probe")
            .device_register(qxsim::BUS_ISB, 0x2a, 3, 0xbeef)
            .i2c_bus(false)
            .fault("i2c-isb.busy", {"2"})
            .fault("eio-reg", {"0x9000"})
            .fault("i2c-isb.0x50.nak", {"6"});
        // A transaction in flight: the busy fault holds it for two status reads.
        sim.poke(0x188, 4);
        sim.poke(0x180, 0x50111);
        EXPECT_EQ(sim.peek(0x4), 0x01u) << "FPGA_STATUS after an unmodelled register was touched";
        uint64_t accesses = 0;
        {
            auto lock = sim.model().lock();
            accesses = sim.model().state().core.accesses;
            EXPECT_TRUE(sim.model().state().dac.u12.ref_powered);
            EXPECT_TRUE(sim.model().state().dac.u14.outputs[7].powered);
        }

        Result r = sim.cli(ev.command);
        EXPECT_TRUE(status_is(r, 0));
        if (ev.power) {
            EXPECT_TRUE(qxtest::stdout_starts_with(r, "  boot 2 (power-on): factory image"));
        }

        for (uint32_t reg : {0x8210u, 0x8170u, 0x8000u, 0x168u, 0x188u, 0x190u, qxsim::ASMI_WR_FIFO_LEVEL,
                             qxsim::ASMI_RD_FIFO_LEVEL, qxsim::ASMI_PROTECT_CODE, qxsim::ASMI_LENGTH})
            EXPECT_EQ(sim.peek(reg), 0u) << std::hex << reg;
        EXPECT_EQ(sim.peek(0x184), 0u) << "the transaction in flight is lost, not finished";
        EXPECT_EQ(sim.peek(0x4), 0x01u) << "configured; the bus stays off as the bench set it";
        std::string shown = sim.show();
        for (const char* kept : {"fault busy 2: set", "Access faults set: eio-reg 0x9000", "fault nak 0x06: set",
                                 "\"M5LA\" (LINCE5M-M)", "0x2a probe: 16-bit registers"})
            EXPECT_NE(shown.find(kept), std::string::npos) << kept << "\n" << shown;
        EXPECT_EQ(shown.find("Power cycles: 1 (faults, counters and trace kept)") != std::string::npos, ev.power)
            << shown;
        auto lock = sim.model().lock();
        qxsim::Camera& cam = sim.model();
        // The bias that dac -u loaded is gone with the power (codes at zero
        // scale, outputs and reference powered down), kept by a reload.
        const qxsim::DacChipState* chips[] = {&cam.state().dac.u12, &cam.state().dac.u14};
        for (unsigned chip = 0; chip < 2; chip++) {
            const qxsim::DacChipState& d = *chips[chip];
            EXPECT_EQ(d.ref_powered != 0, !ev.power) << "DAC " << chip;
            for (const qxsim::DacOutputState& o : d.outputs)
                EXPECT_EQ(o.powered != 0, !ev.power) << "DAC " << chip;
        }
        EXPECT_EQ(cam.asmi().flash().four_byte(), !ev.power) << "the chip keeps its mode over a reload";
        EXPECT_EQ(cam.asmi().boot().state().cause, ev.power ? qxsim::BOOT_BY_POWER_ON : qxsim::BOOT_BY_RECONFIG);
        EXPECT_EQ(cam.ident().code(), 0x414C354Du);
        qxsim::RegisterDevice* probe = cam.register_device_slot(qxsim::BUS_ISB, 0x2a);
        ASSERT_TRUE(probe && probe->used());
        EXPECT_EQ(probe->reg(3), ev.power ? 0x032Au : 0xbeefu) << "registers back to their power-on pattern";
        EXPECT_EQ(cam.state().core.accesses, accesses) << "no register access";
        EXPECT_TRUE(cam.trace_on());
        lock.unlock();
        // `boot` is the same command.
        if (ev.power) {
            EXPECT_TRUE(qxtest::stdout_starts_with(sim.cli({"boot"}), "  boot 3 (power-on): factory image"));
        }
    }
}

TEST(PowerCycle, factory_reset_erases_the_application_relocks_and_clears_the_bench)
{
    SimCamera sim(qxtest::SimOptions{"LINCE5M-M", true});
    sim.setup()
        .flash({"load", "0x2000000", write_image(sim)})
        .flash({"protect", "0x68"})
        .poke(0x8000, 5)
        .fault("i2c-isb.stuck-busy");
    EXPECT_TRUE(status_is(sim.cli({"factory-reset"}), 0));
    EXPECT_TRUE(qxtest::stdout_is(sim.cli({"flash", "read", "0x2000000", "4"}), "0x2000000: ff ff ff ff\n"));
    EXPECT_EQ(sim.peek(0x8000), 0u);
    EXPECT_EQ(sim.peek(0x184), 0u) << "fault cleared";
    EXPECT_FALSE(sim.model().trace_on());
    auto lock = sim.model().lock();
    EXPECT_EQ(sim.model().asmi().flash().status_reg(), 0x5C);
    EXPECT_EQ(sim.model().asmi().boot().state().image, qxsim::BOOT_FACTORY);
    EXPECT_EQ(sim.model().ident().code(), 0x414C354Du) << "the sensor is kept";
}

TEST(PowerCycle, reset_is_no_longer_a_command)
{
    SimCamera sim;
    Result r = sim.cli({"reset"});
    EXPECT_TRUE(status_is(r, 2));
    EXPECT_TRUE(qxtest::stderr_contains(r, "  factory-reset "));
    EXPECT_TRUE(qxtest::stderr_contains(r, "  power-cycle "));
}
