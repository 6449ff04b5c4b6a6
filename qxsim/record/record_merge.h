// Turning a recording folder (one binary file per process image, written by
// the recording interposer) into one trace in the camera's trace format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxsim {

struct MergeResult {
    // Images whose file lacks its end record: killed by a signal that
    // cannot be caught (SIGKILL, a power cut), losing what their buffer held.
    std::vector<uint32_t> killed;
};

// Merges every `*.rec` file of `dir` in the order the processes took turns
// at the driver into `out_path`. False with *err set when a file cannot be
// read or the trace cannot be written.
bool merge_recording(const std::string& dir, const std::string& out_path, MergeResult* result, std::string* err);

}  // namespace qxsim
