// The whole simulated camera as it lives in `camera.state`: plain data only,
// shared by every process that uses the camera. A block owner adds the
// block's state struct here (and its include) and bumps STATE_VERSION.
#pragma once

#include "qxsim/model/fpga/asmi_state.h"
#include "qxsim/model/flash/boot_state.h"
#include "qxsim/model/fpga/channel_state.h"
#include "qxsim/model/camera/core_state.h"
#include "qxsim/model/devices/dac_state.h"
#include "qxsim/model/flash/epcq_state.h"
#include "qxsim/model/fpga/fpga_status_state.h"
#include "qxsim/model/devices/i2c_devices_state.h"
#include "qxsim/model/fpga/i2c_master_state.h"
#include "qxsim/model/fpga/register_map.h"
#include "qxsim/model/fpga/register_file_state.h"

#include <type_traits>

namespace qxsim {

constexpr uint32_t STATE_VERSION = 8;

struct CameraState {
    CoreState core;
    FpgaStatusState fpga_status;
    I2cMasterState i2c[BUS_COUNT];
    IdentMemoryState ident;
    DacState dac;
    RegisterDeviceState regdev[BUS_COUNT][REGISTER_DEVICES_PER_BUS];
    RegisterFileState regfile;
    AsmiState asmi;
    EpcqState epcq;
    BootState boot;
    ChannelState channels;
};

static_assert(std::is_trivially_copyable<CameraState>::value, "camera state must be plain data");

// Makes the state's lock a robust process-shared mutex, as a new state file
// (or a copy of one, whose lock must not carry another process's owner) has it.
void init_state_lock(CameraState& state);

}  // namespace qxsim
