// `qxsim trace show`: trace.log, or a trace or recording file, as it is,
// with the name of each register beside its access.
#pragma once

#include "qxsim/trace/mapped_file.h"

#include <cstdio>
#include <string>

namespace qxsim_cli {

enum class TraceMap { mapped, missing, failed };

// Maps a trace file for reading. `missing` when it does not exist and
// `missing_ok` (a camera without a trace); `failed` after a line on standard
// error saying why it cannot be read.
TraceMap map_trace(const std::string& path, bool missing_ok, qxsim::MappedFile* file);

// Copies the trace file to `out` line by line through qxsim::trace_view_line.
// Returns 0; 2 with a line on standard error when the file cannot be read
// or changed while it was read. A camera without a trace (`missing_ok`)
// shows nothing.
int show_trace(const std::string& path, bool missing_ok, std::FILE* out);

}  // namespace qxsim_cli
