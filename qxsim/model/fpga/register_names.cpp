#include "qxsim/model/fpga/register_names.h"

#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/fpga/channel_regs.h"
#include "qxsim/model/fpga/fpga_status.h"
#include "qxsim/model/fpga/i2c_master.h"
#include "qxsim/trace/parse.h"

#include <algorithm>
#include <cstring>

namespace qxsim {

namespace {

// Built once from the blocks' own tables, placed where Camera::build places
// the blocks.
std::vector<NamedRegister> build_names()
{
    std::vector<NamedRegister> names;
    auto place = [&names](const RegisterLayout& layout, uint32_t base, const char* prefix) {
        for (unsigned i = 0; i < layout.size(); i++)
            names.push_back({base + layout[i].offset, std::string(prefix) + layout[i].name, &layout[i]});
    };
    place(FpgaStatus::layout(), 0, "");
    for (const I2cMasterPlace& m : I2C_MASTERS)
        place(I2cMaster::layout(), m.base, m.prefix);
    place(ChannelRegs::layout(), 0, "");
    place(AsmiController::layout(), 0, "");
    std::sort(names.begin(), names.end(),
              [](const NamedRegister& a, const NamedRegister& b) { return a.reg < b.reg; });
    return names;
}

bool same_name(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

const std::vector<NamedRegister>& named_registers()
{
    static const std::vector<NamedRegister> names = build_names();
    return names;
}

const char* register_name(uint32_t reg)
{
    const std::vector<NamedRegister>& names = named_registers();
    auto it = std::lower_bound(names.begin(), names.end(), reg,
                               [](const NamedRegister& n, uint32_t r) { return n.reg < r; });
    return it != names.end() && it->reg == reg ? it->name.c_str() : nullptr;
}

bool parse_register(const std::string& text, uint32_t* reg)
{
    if (parse_u32(text, reg))
        return true;
    for (const NamedRegister& n : named_registers())
        if (same_name(text, n.name)) {
            *reg = n.reg;
            return true;
        }
    return false;
}

}  // namespace qxsim
