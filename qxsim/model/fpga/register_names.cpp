#include "qxsim/model/fpga/register_names.h"

#include "qxsim/model/fpga/register_map.h"
#include "qxsim/trace/parse.h"

#include <algorithm>
#include <cstring>

namespace qxsim {

namespace {

// Built once from the blocks' tables where the register map places them.
std::vector<NamedRegister> build_names()
{
    std::vector<NamedRegister> names;
    for (const BlockPlace& place : FPGA_BLOCKS) {
        const RegisterLayout& layout = place.layout();
        for (unsigned i = 0; i < layout.size(); i++)
            names.push_back(
                {place.base + layout[i].offset, std::string(place.prefix) + layout[i].name, &layout[i], &place});
    }
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

const NamedRegister* find_register(uint32_t reg)
{
    const std::vector<NamedRegister>& names = named_registers();
    auto it = std::lower_bound(names.begin(), names.end(), reg,
                               [](const NamedRegister& n, uint32_t r) { return n.reg < r; });
    return it != names.end() && it->reg == reg ? &*it : nullptr;
}

const char* register_name(uint32_t reg)
{
    const NamedRegister* n = find_register(reg);
    return n ? n->name.c_str() : nullptr;
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
