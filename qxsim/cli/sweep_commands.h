// `qxsim sweep power-cut`: one run of a tool on a copy of the camera,
// judged at every access as if the power had been cut just before it
// (qxsim/sweep/cut_sweep.h); with --kill, runs killed at sampled accesses,
// each followed by a second run that must succeed.
#pragma once

#include <string>
#include <vector>

namespace qxsim_cli {

extern const char sweep_usage_text[];

// 0: no point bricked (every second run succeeded); 1: some did not;
// 2: usage, a camera that cannot be copied, or an uncut run that failed.
int cmd_sweep(const std::string& dir, const std::vector<std::string>& args);

}  // namespace qxsim_cli
