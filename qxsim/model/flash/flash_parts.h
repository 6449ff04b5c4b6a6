// The board's configuration-flash path as a camera builds it: the array in
// the state folder's flash.bin, the EPCQ-L chip on it and the FPGA's
// configuration logic. The ASMI controller in front of them is a register
// block of its own and is owned with the other blocks.
#pragma once

#include "qxsim/model/flash/boot_state.h"
#include "qxsim/model/flash/epcq_flash.h"
#include "qxsim/model/flash/epcq_state.h"
#include "qxsim/model/flash/flash_store.h"
#include "qxsim/model/flash/fpga_boot.h"

#include <string>

namespace qxsim {

struct FlashParts {
    // `create`: a new camera's array, erased, when the file is not there.
    FlashParts(EpcqState& chip_state, BootState& boot_state, const std::string& path, bool create)
        : chip(chip_state, store), boot(boot_state, chip)
    {
        ok = store.open(path, &error, create);
    }

    FlashStore store;
    EpcqFlash chip;
    FpgaBoot boot;
    bool ok = false;
    std::string error;
};

}  // namespace qxsim
