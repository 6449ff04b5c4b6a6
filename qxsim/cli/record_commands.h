// qxsim record / qxsim replay: a session on a camera written down with the
// answers of its hardware, and the model held against such a session.
#pragma once

#include <string>
#include <vector>

namespace qxsim_cli {

extern const char record_usage_text[];

// record -o FILE [--sim] -- TOOL [ARGS]: `dir` is the camera standing in
// for the driver with --sim. Returns the tool's exit status.
int cmd_record(const std::string& dir, const std::vector<std::string>& args);

// replay FILE: against the camera in `dir` when `explicit_state`, else
// against a fresh camera. 0 agrees, 1 differs, 2 usage or unreadable.
int cmd_replay(const std::string& dir, bool explicit_state, const std::vector<std::string>& args);

}  // namespace qxsim_cli
