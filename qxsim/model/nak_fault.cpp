#include "qxsim/model/nak_fault.h"

#include "qxsim/model/parse.h"

namespace qxsim {

bool nak_fault_set(const std::vector<std::string>& args, uint32_t* nak, int32_t* nak_reg,
                   std::string* error)
{
    uint32_t reg = 0;
    if (args.size() > 1 || (args.size() == 1 && (!parse_u32(args[0], &reg) || reg > 0xFF))) {
        *error = "nak takes an optional register number 0..255";
        return false;
    }
    if (args.empty())
        *nak = 1;
    else
        *nak_reg = static_cast<int32_t>(reg);
    return true;
}

void nak_fault_clear(uint32_t* nak, int32_t* nak_reg)
{
    *nak = 0;
    *nak_reg = -1;
}

void nak_fault_list(std::ostream& out)
{
    out << "nak [REG]  acknowledge nothing (or not register REG)\n";
}

}  // namespace qxsim
