// `qxsim trace show`: trace.log as it is, with the name of each register
// beside its access.
#pragma once

#include <cstdio>
#include <string>

namespace qxsim_cli {

// One trace line as shown: a register access names the register in place
// of its address ("4711 W ASMI_CMD 0x00000208"), an accepted proc line gets
// the name after the line as received ("4711 P w 0x8170 0x114  (CLPOUT_CTRL)").
// Unmodelled registers and every other line stay as they are.
std::string trace_view_line(const std::string& line);

// Copies the trace file to `out` line by line through trace_view_line; a
// camera without a trace shows nothing.
void show_trace(const std::string& path, std::FILE* out);

}  // namespace qxsim_cli
