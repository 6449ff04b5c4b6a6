// A camera folder copied for runs that must leave the camera as it was.
#pragma once

#include <string>

namespace qxsim {

// Copies the camera in `from` to the new folder `to`, taken under the
// camera's lock so that no access lands halfway: the state (with a lock of
// its own), the flash array (its data only: erased stretches stay holes),
// the firmware folder, the driver's stand-in files and an empty lock
// folder. No trace. False with *err when anything fails.
bool copy_camera(const std::string& from, const std::string& to, std::string* err);

// Removes a folder and everything under it (no links followed).
void remove_tree(const std::string& dir);

}  // namespace qxsim
