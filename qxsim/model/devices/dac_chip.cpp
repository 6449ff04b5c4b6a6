#include "qxsim/model/devices/dac_chip.h"

#include <fmt/format.h>

#include <cstdint>
#include <cstring>

namespace qxsim {

const DacChipWiring DAC_U12_WIRING = {
    "dac-u12",
    "U12",
    0x10,
    {"VREF", "VLNC", "VLN", "VADH", "VOFF", "VAD4", "VLNA", "VCAS"},
};

const DacChipWiring DAC_U14_WIRING = {
    "dac-u14",
    "U14",
    0x11,
    {"VMUX1", "VTX2L", "VABL", "VPIX", "VRSTH", "VTXH", "VTXL", "VMUX2"},
};

const DacCommand DAC_COMMANDS[16] = {
    {"load input", DAC_ON_OUTPUT | DAC_LOAD},
    {"update from input", DAC_ON_OUTPUT | DAC_UPDATE},
    {"load input, update all", DAC_ON_OUTPUT | DAC_LOAD | DAC_UPDATE_ALL},
    {"load and update", DAC_ON_OUTPUT | DAC_LOAD | DAC_UPDATE},
    {"power down output", DAC_ON_OUTPUT | DAC_OUTPUT_DOWN},
    {"power down chip", DAC_CHIP_DOWN},
    {"internal reference", DAC_REF_INTERNAL},
    {"external reference", DAC_REF_EXTERNAL},
    {"reserved", 0},
    {"reserved", 0},
    {"reserved", 0},
    {"reserved", 0},
    {"reserved", 0},
    {"reserved", 0},
    {"reserved", 0},
    {"no operation", 0},
};

namespace {

constexpr unsigned INDEX_ALL = 0xF;

// "nak REG" of the simple devices names a register; this chip's fault
// counts writes, and "nak", its older spelling, still takes the count.
constexpr FaultEntry dac_fault_entries[] = {
    {"nak-from", "[N]", "no acknowledge from the Nth write on (default: the next write)",
     "nak-from takes a write count N from 1"},
};
constexpr FaultAlias dac_fault_aliases[] = {{"nak", "nak-from", ""}};
constexpr FaultTable dac_faults(dac_fault_entries, dac_fault_aliases);

}  // namespace

DacChip::DacChip(const DacChipWiring& wiring, DacChipState& state) : wiring_(wiring), state_(state)
{
    add_faults(dac_faults, state_.faults, "    ");
}

bool DacChip::answers(uint8_t addr) const
{
    return addr == wiring_.addr || addr == DAC_GLOBAL_ADDRESS;
}

bool DacChip::read(uint8_t, uint8_t, uint32_t*, unsigned*)
{
    return false;
}

bool DacChip::nak_fires()
{
    FaultSlot& f = state_.faults.slot[dac_faults.first(0)];
    if (!f.armed || ++f.seen < (f.given ? f.arg[0] : 1))
        return false;
    f.fired++;
    return true;
}

void DacChip::update(unsigned n)
{
    DacOutputState& out = state_.outputs[n];
    out.code = out.input;
    out.powered = 1;
    if (state_.ref_internal)
        state_.ref_powered = 1;
}

void DacChip::command(uint8_t cmd, unsigned index, uint16_t code)
{
    const uint8_t does = DAC_COMMANDS[cmd].does;
    if (does & DAC_CHIP_DOWN) {
        for (DacOutputState& out : state_.outputs)
            out.powered = 0;
        state_.ref_powered = 0;
    }
    if (does & (DAC_REF_INTERNAL | DAC_REF_EXTERNAL)) {
        state_.ref_internal = (does & DAC_REF_INTERNAL) != 0;
        state_.ref_powered = state_.ref_internal;
    }
    if (!(does & DAC_ON_OUTPUT)) {
        if (!does && cmd != DAC_NOP)
            state_.ignored++;
        return;
    }
    if (index >= DAC_CHIP_OUTPUTS && index != INDEX_ALL) {
        state_.ignored++;
        return;
    }
    const unsigned first = index == INDEX_ALL ? 0 : index;
    const unsigned last = index == INDEX_ALL ? DAC_CHIP_OUTPUTS - 1 : index;
    for (unsigned n = first; n <= last; n++) {
        if (does & DAC_LOAD)
            state_.outputs[n].input = code;
        if (does & DAC_UPDATE)
            update(n);
        if (does & DAC_OUTPUT_DOWN)
            state_.outputs[n].powered = 0;
    }
    if (does & DAC_UPDATE_ALL)
        for (unsigned n = 0; n < DAC_CHIP_OUTPUTS; n++)
            update(n);
}

bool DacChip::write(uint8_t, uint8_t reg, uint16_t data)
{
    if (nak_fires())
        return false;
    state_.writes++;
    command(reg >> 4, reg & 0xF, data >> 6);
    return true;
}

std::string dac_write_meaning(uint8_t dev, uint8_t cmd, uint16_t data)
{
    const DacChipWiring* chip = dev == DAC_U12_WIRING.addr   ? &DAC_U12_WIRING
                                : dev == DAC_U14_WIRING.addr ? &DAC_U14_WIRING
                                                             : nullptr;
    const DacCommand& c = DAC_COMMANDS[cmd >> 4];
    const unsigned n = cmd & 0xF;
    std::string text = chip ? chip->part : "U12+U14";
    if (c.does & DAC_ON_OUTPUT) {
        if (n == INDEX_ALL)
            text += " all outputs";
        else if (chip && n < DAC_CHIP_OUTPUTS)
            text += fmt::format(" {}", chip->outputs[n]);
        else
            text += fmt::format(" output {}", n);
    }
    text += fmt::format(": {}", c.meaning);
    if (c.does & DAC_LOAD)
        text += fmt::format(", code {}", data >> 6);
    return text;
}

void DacChip::reset()
{
    memset(&state_, 0, sizeof state_);
    power_on();
}

void DacChip::power_on()
{
    for (DacOutputState& out : state_.outputs) {
        out.input = 0;
        out.code = 0;
        out.powered = 0;
    }
    state_.ref_internal = 0;
    state_.ref_powered = 0;
}

void DacChip::describe(std::ostream& out) const
{
    const char* ref = !state_.ref_internal ? "external reference"
                      : state_.ref_powered ? "internal reference on"
                                           : "internal reference powered down";
    out << fmt::format("  0x{:02x} DAC {} (also global 0x{:02x}): {}, {} write(s)\n", wiring_.addr, wiring_.part,
                       DAC_GLOBAL_ADDRESS, ref, state_.writes);
    for (unsigned n = 0; n < DAC_CHIP_OUTPUTS; n++) {
        const DacOutputState& o = state_.outputs[n];
        out << fmt::format("    {:<6} 0x{:03x}  {}", wiring_.outputs[n], o.code,
                           o.powered ? "powered" : "powered down");
        if (o.input != o.code)
            out << fmt::format("  (input 0x{:03x} pending)", o.input);
        out << "\n";
    }
    if (state_.ignored)
        out << fmt::format("    {} write(s) with a reserved command or output ignored\n", state_.ignored);
    describe_faults(out);
}

}  // namespace qxsim
