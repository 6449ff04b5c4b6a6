// `qxsim diff OTHER_DIR`: the camera against another camera folder.
#pragma once

#include <string>
#include <vector>

namespace qxsim_cli {

// Prints what differs between the camera in `dir` and the one in the
// folder `args[0]`: registers by block and name, the bus devices, the flash
// protection and contents (ranges with their CRC-32) and what the FPGA
// loaded. Faults, counters and the trace are the bench's and not compared.
// 0 equal, 1 different, 2 a camera cannot be read (or usage).
int cmd_diff(const std::string& dir, const std::vector<std::string>& args);

}  // namespace qxsim_cli
