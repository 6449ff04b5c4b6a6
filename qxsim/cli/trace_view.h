// `qxsim trace show`: trace.log, or a trace or recording file, as it is,
// with the name of each register beside its access.
#pragma once

#include <cstdio>
#include <string>

namespace qxsim_cli {

// Copies the trace file to `out` line by line through qxsim::trace_view_line.
// Returns 0; 2 with a line on standard error when the file cannot be read
// or changed while it was read. A camera without a trace (`missing_ok`)
// shows nothing.
int show_trace(const std::string& path, bool missing_ok, std::FILE* out);

}  // namespace qxsim_cli
