// `qxsim trace show --decode`: the trace as a protocol analyser lists it.
#pragma once

#include <string>

namespace qxsim_cli {

// Decodes the trace file at `path` onto standard output; the front end's
// exit status.
int trace_show_decoded(const std::string& path);

}  // namespace qxsim_cli
