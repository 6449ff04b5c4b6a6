// A recorded session held against the model (`qxsim replay`): its writes,
// proc lines and opens fed to a camera in order, every read compared.
//
// Status registers with a busy bit (the I2C masters' I2C_STATUS, ASMI_STATUS)
// differing only there are timing as long as the tool's bounded wait ends
// the same way on the camera and on the model: a busy reading the model does
// not need is skipped when the recorded wait ended done, and a model busy
// longer is polled as the tool polls, up to what the tool's wait allows. A
// wait given up on one side and done on the other is a difference.
//
// A recording (version line first) must end with its end mark; a trace
// without the version line replays with a note that its completeness cannot
// be checked. How the recorded command ended and every process that left no
// exit record are printed after the verdict.
//
// A fresh camera gets the recorded sensor code just before the session's
// first read of the identification memory, from the I2C transactions a few
// lines ahead.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace qxsim {

class Camera;

// Replays the trace file at `path` against the camera in `camera_dir`, or,
// when it is empty, against a fresh camera of the recorded sensor in a
// temporary folder. Prints "model agrees" and the counts, or the first
// difference with the decoded session around it, then how the session
// ended; returns 0 (agrees), 1 (differs) or 2 (the file is no whole
// session, or the camera cannot be made; said on standard error).
int replay_trace(const std::string& path, const std::string& camera_dir);

// The same for trace text already in memory, named `name` in messages. The
// camera is asked for only once the text has passed its checks (null with
// *err set: exit 2); `learn_sensor`: it takes the recorded sensor code.
// The verdict and the session go to `out`, what makes it exit 2 to `err`.
using CameraSource = std::function<Camera*(std::string* err)>;
int replay_text(std::string_view text, const std::string& name, const CameraSource& camera, bool learn_sensor,
                std::FILE* out, std::FILE* err);

}  // namespace qxsim
