// A trace or recording file as a whole, from its first and last lines: is
// it a recording (its version line first), does it end with its end mark,
// was it cut inside a line. Replay and the decoded view check a file so
// before they trust it.
#pragma once

#include "qxsim/trace/trace_format.h"

#include <string>
#include <string_view>

namespace qxsim {

struct TraceFileShape {
    bool empty = true;       // no line that is not empty
    bool versioned = false;  // a recording: RECORDING_VERSION_LINE first
    bool ended = false;      // its last line is an end mark
    TraceRecord end;         // that end mark (its text is "exit" or "signal")
    size_t last_pos = 0;     // start of the last line that is not empty
    // Why it is no whole trace, or "": cut inside its last line, a
    // recording of another format, a recording without its end mark.
    std::string problem;
};

TraceFileShape inspect_trace_file(std::string_view text);

}  // namespace qxsim
