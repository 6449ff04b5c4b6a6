// `qxsim trace export` (waveforms for GTKWave and sigrok) and the options of
// `qxsim trace show --decode` (--follow, --pid, --block, --collapse).
#pragma once

#include <string>
#include <vector>

namespace qxsim_cli {

extern const char trace_tools_usage_text[];

// export --vcd OUT [--trace FILE] [--from T] [--to T] [--pid P], the
// arguments after "export"; the camera of `dir` when no --trace is given.
// 0 written, 1 a file cannot be read or written, 2 usage.
int cmd_trace_export(const std::string& dir, const std::vector<std::string>& args);

// show --decode [--follow] [--pid P] [--block NAME] [--collapse], the
// arguments after "show --decode".
int cmd_trace_decoded(const std::string& path, const std::vector<std::string>& args);

}  // namespace qxsim_cli
