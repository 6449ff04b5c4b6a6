#include "qxsim/model/devices/dac_chip.h"

#include <fmt/format.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qxsim {

const DacChipWiring DAC_U12_WIRING = {
    "dac-u12", "U12", 0x10,
    {"VREF", "VLNC", "VLN", "VADH", "VOFF", "VAD4", "VLNA", "VCAS"},
};

const DacChipWiring DAC_U14_WIRING = {
    "dac-u14", "U14", 0x11,
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
    {"reserved", 0}, {"reserved", 0}, {"reserved", 0}, {"reserved", 0},
    {"reserved", 0}, {"reserved", 0}, {"reserved", 0},
    {"no operation", 0},
};

namespace {

constexpr unsigned INDEX_ALL = 0xF;

const FaultEntry<DacChipState> dac_fault_entries[] = {
    {"nak", "[N]", "no acknowledge from the Nth write on (default: the next write)",
     [](DacChipState& s, const std::vector<std::string>& args, std::string* error) {
         unsigned long from = 1;
         if (args.size() > 1) {
             *error = "nak takes at most one argument";
             return false;
         }
         if (args.size() == 1) {
             char* end = nullptr;
             from = strtoul(args[0].c_str(), &end, 0);
             if (args[0].empty() || *end != '\0' || from == 0 || from > UINT32_MAX) {
                 *error = "nak: N must be a write count from 1";
                 return false;
             }
         }
         s.nak_from = static_cast<uint32_t>(from);
         s.nak_seen = 0;
         s.nak_fired = 0;
         return true;
     },
     [](DacChipState& s) {
         s.nak_from = 0;
         s.nak_seen = 0;
         s.nak_fired = 0;
     },
     [](const DacChipState& s, std::ostream& out) {
         if (s.nak_from)
             out << fmt::format("    fault nak {}: no acknowledge from write {} on, fired {} time(s)\n", s.nak_from,
                                s.nak_from, s.nak_fired);
     }},
};
const FaultTable<DacChipState> dac_faults(dac_fault_entries);

}  // namespace

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
    if (state_.nak_from == 0)
        return false;
    state_.nak_seen++;
    if (state_.nak_seen < state_.nak_from)
        return false;
    state_.nak_fired++;
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
        out << fmt::format("    {:<6} 0x{:03x}  {}", wiring_.outputs[n], o.code, o.powered ? "powered" : "powered down");
        if (o.input != o.code)
            out << fmt::format("  (input 0x{:03x} pending)", o.input);
        out << "\n";
    }
    if (state_.ignored)
        out << fmt::format("    {} write(s) with a reserved command or output ignored\n", state_.ignored);
    dac_faults.describe(state_, out);
}

bool DacChip::set_fault(const std::string& fault, const std::vector<std::string>& args,
                        std::string* error)
{
    return dac_faults.set(state_, fault, args, wiring_.name, error);
}

void DacChip::clear_faults()
{
    dac_faults.clear_all(state_);
}

bool DacChip::clear_fault(const std::string& fault, std::string* error)
{
    return dac_faults.clear(state_, fault, wiring_.name, error);
}

void DacChip::list_faults(std::ostream& out) const
{
    dac_faults.list(out);
}

}  // namespace qxsim
