#include "qxsim/trace/decode_group.h"

#include "qxsim/model/fpga/register_names.h"

#include <fmt/format.h>

#include <algorithm>

namespace qxsim {

void Group::failed_access(const TraceRecord& rec)
{
    note(fmt::format("E{} at {} {}", rec.error, rec.kind == TRACE_READ ? 'R' : 'W', reg_label(rec.reg)));
    failed = true;
}

std::string Group::proc_pids() const
{
    if (issuer != PROC_ISSUER)
        return "";
    std::string s = " (proc lines of pid ";
    for (uint32_t i = 0; i < std::min<uint32_t>(pid_count, 3); i++)
        s += fmt::format(i ? " {}" : "{}", pids[i]);
    if (pid_count > 3)
        s += " ...";
    return s + ")";
}

void Writers::forget(Group* g)
{
    auto it = std::find(groups_.begin(), groups_.end(), g);
    if (it != groups_.end())
        groups_.erase(it);
}

std::string reg_label(uint32_t reg)
{
    const char* name = register_name(reg);
    return name ? std::string(name) : fmt::format("0x{:08x}", reg);
}

std::string busy_polls(uint32_t n)
{
    return fmt::format(", {} busy poll{}", n, n == 1 ? "" : "s");
}

}  // namespace qxsim
