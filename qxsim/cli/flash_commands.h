// `qxsim flash ...`: the configuration flash, for people and tests.
#pragma once

#include "qxsim/model/camera/camera.h"

#include <string>
#include <vector>

namespace qxsim_cli {

extern const char flash_usage_text[];

// Each returns the front end's exit status.
int cmd_flash(qxsim::Camera& cam, const std::vector<std::string>& args);

}  // namespace qxsim_cli
