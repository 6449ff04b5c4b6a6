// A recorded session held against the model (`qxsim replay`): its writes,
// proc lines and opens fed to a camera in order, every read compared.
// Status registers with a busy bit (the I2C masters' I2C_STATUS, ASMI_STATUS)
// differing only there are timing: a busy reading the model does not need is
// skipped, a model busy longer is polled (at most 5 s). A fresh camera gets
// the recorded sensor code just before the session's first read of the
// identification memory, from the I2C transactions a few lines ahead.
#pragma once

#include <string>

namespace qxsim {

// Replays the trace file at `path` against the camera in `camera_dir`, or,
// when it is empty, against a fresh camera of the recorded sensor in a
// temporary folder. Prints "model agrees" and the counts, or the first
// difference with the decoded session around it; returns 0 (agrees), 1
// (differs) or 2 (the trace or the camera cannot be read, said on standard
// error).
int replay_trace(const std::string& path, const std::string& camera_dir);

}  // namespace qxsim
