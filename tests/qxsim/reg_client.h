// The simulated camera's own tests beside the harness: `client`, a program
// making one register access, open or proc-file write per argument through
// the interposer (reg_client.cpp), and the harness's names they use most.
#pragma once

#include "sim_camera.h"

#include <string>

namespace {

using qxtest::Result;
using qxtest::SimCamera;
using qxtest::status_is;
using qxtest::stdout_is;

const std::string client = QXSIM_REG_CLIENT;

}  // namespace
