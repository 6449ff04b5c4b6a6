// A trace line as people read it: the register's name in place of its
// address. `qxsim trace show` prints every line so, replay the recorded
// lines around a difference.
#pragma once

#include <string>
#include <string_view>

namespace qxsim {

// A register access names the register in place of its address ("4711
// 12.000000001 W ASMI_CMD 0x00000208"), an accepted proc line gets the name
// after the line as received ("4711 ... P w 0x8170 0x114  (CLPOUT_CTRL)").
// Unmodelled registers and every other line stay as they are.
std::string trace_view_line(std::string_view line);

}  // namespace qxsim
