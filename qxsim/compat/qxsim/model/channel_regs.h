// Old include path, kept for the tool tests until they name the folder.
#pragma once
#include "qxsim/model/fpga/channel_regs.h"
