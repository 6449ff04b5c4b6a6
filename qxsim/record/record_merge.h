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
    // Files left out or cut short, each with why: "<file>: <what is wrong>".
    std::vector<std::string> damaged;
};

// How the recorded command ended: the end mark of the recording.
struct SessionEnd {
    int32_t pid = 0;
    uint64_t time_ns = 0;   // CLOCK_MONOTONIC when it ended
    bool signaled = false;  // `code` is the signal that ended it, else its exit status
    int code = 0;
};

// Merges every `*.rec` file of `dir` in the order the processes took turns
// at the driver into `out_path`, after the recording's version line and
// before the end mark `end`. A file that cannot be read is left out and a
// damaged one is read up to the damage; both are named in result->damaged.
// False with *err set when the folder cannot be listed or the trace cannot
// be written.
bool merge_recording(const std::string& dir, const std::string& out_path, const SessionEnd& end,
                     MergeResult* result, std::string* err);

}  // namespace qxsim
