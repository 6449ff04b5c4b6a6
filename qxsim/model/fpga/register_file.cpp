#include "qxsim/model/fpga/register_file.h"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

namespace qxsim {

namespace {

unsigned hash_slot(uint32_t reg)
{
    return (reg * 2654435761u) >> 22;  // top 10 bits: REGISTER_FILE_SLOTS
}
static_assert(REGISTER_FILE_SLOTS == 1024, "hash_slot takes 10 bits");

}  // namespace

const RegisterFileEntry* RegisterFile::find(uint32_t reg) const
{
    unsigned i = hash_slot(reg);
    for (unsigned n = 0; n < REGISTER_FILE_SLOTS; n++, i = (i + 1) % REGISTER_FILE_SLOTS) {
        const RegisterFileEntry& e = s_.entry[i];
        if (!e.used)
            return nullptr;
        if (e.reg == reg)
            return &e;
    }
    return nullptr;
}

// Finds or claims the entry of `reg`. An entry is filled in completely
// before `used` is set, so a process killed here leaves no half entry.
RegisterFileEntry* RegisterFile::slot(uint32_t reg)
{
    unsigned i = hash_slot(reg);
    for (unsigned n = 0; n < REGISTER_FILE_SLOTS; n++, i = (i + 1) % REGISTER_FILE_SLOTS) {
        RegisterFileEntry& e = s_.entry[i];
        if (e.used && e.reg == reg)
            return &e;
        if (!e.used) {
            e.reg = reg;
            e.value = 0;
            e.reads = 0;
            e.writes = 0;
            e.used = 1;
            s_.count++;
            return &e;
        }
    }
    s_.overflow++;
    return nullptr;
}

uint32_t RegisterFile::read(uint32_t reg)
{
    RegisterFileEntry* e = slot(reg);
    if (!e)
        return 0;
    e->reads++;
    return e->value;
}

void RegisterFile::write(uint32_t reg, uint32_t value)
{
    RegisterFileEntry* e = slot(reg);
    if (!e)
        return;
    e->value = value;
    e->writes++;
}

void RegisterFile::reset()
{
    s_ = RegisterFileState{};
}

void RegisterFile::power_on()
{
    for (RegisterFileEntry& e : s_.entry)
        e.value = 0;
}

void RegisterFile::describe(std::ostream& out) const
{
    std::vector<const RegisterFileEntry*> used;
    for (const RegisterFileEntry& e : s_.entry)
        if (e.used)
            used.push_back(&e);
    std::sort(used.begin(), used.end(),
              [](const RegisterFileEntry* a, const RegisterFileEntry* b) { return a->reg < b->reg; });
    out << fmt::format("Unmodelled registers: {}\n", used.size());
    for (const RegisterFileEntry* e : used)
        out << fmt::format("  0x{:08x} = 0x{:08x}  ({} read(s), {} write(s))\n", e->reg, e->value,
                           e->reads, e->writes);
    if (s_.overflow)
        out << fmt::format("  table full: {} access(es) not recorded\n", s_.overflow);
}

}  // namespace qxsim
