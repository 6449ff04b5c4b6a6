// `qxsim trace export` (waveforms for GTKWave and sigrok) and `qxsim trace
// show`, of the camera's trace or of a trace or recording file.
#pragma once

#include <string>
#include <vector>

namespace qxsim_cli {

extern const char trace_tools_usage_text[];

// export --vcd OUT [--trace FILE] [--from T] [--to T] [--pid P], the
// arguments after "export"; the camera of `dir` when no --trace is given.
// 0 written, 1 a file cannot be read or written, 2 usage.
int cmd_trace_export(const std::string& dir, const std::vector<std::string>& args);

// show [--decode [--follow] [--pid P] [--block NAME] [--collapse]] [FILE],
// the arguments after "show": FILE, else the trace of the camera of `dir`,
// with register names or decoded. 0 shown, 1 no camera, 2 usage or a file
// that cannot be read, changed while it was read, or is no whole trace
// (what could be decoded is shown first).
int cmd_trace_show(const std::string& dir, const std::vector<std::string>& args);

}  // namespace qxsim_cli
