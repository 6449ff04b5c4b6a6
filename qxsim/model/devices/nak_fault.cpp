#include "qxsim/model/devices/nak_fault.h"

#include "qxsim/trace/parse.h"

#include <fmt/format.h>

namespace qxsim {

namespace {

const FaultEntry<NakFaultState> nak_fault_entries[] = {
    {"nak", "[REG]", "acknowledge nothing (or not register REG)",
     [](NakFaultState& f, const std::vector<std::string>& args, std::string* error) {
         uint32_t reg = 0;
         if (args.size() > 1 || (args.size() == 1 && (!parse_u32(args[0], &reg) || reg > 0xFF))) {
             *error = "nak takes an optional register number 0..255";
             return false;
         }
         if (args.empty())
             f.all = 1;
         else
             f.reg = static_cast<int32_t>(reg);
         return true;
     },
     [](NakFaultState& f) {
         f.all = 0;
         f.reg = -1;
     },
     [](const NakFaultState& f, std::ostream& out) {
         if (f.all)
             out << "    fault nak: acknowledges nothing\n";
         if (f.reg >= 0)
             out << fmt::format("    fault nak {}: register 0x{:02x} not acknowledged, {} time(s)\n", f.reg, f.reg,
                                f.fired);
     }},
};

}  // namespace

const FaultTable<NakFaultState> nak_faults(nak_fault_entries);

}  // namespace qxsim
