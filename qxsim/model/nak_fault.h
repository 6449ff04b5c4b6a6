// The "nak [REG]" fault shared by the simple register devices: acknowledge
// nothing, or nothing for one register. The two fields live in the device's
// shared state.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace qxsim {

bool nak_fault_set(const std::vector<std::string>& args, uint32_t* nak, int32_t* nak_reg,
                   std::string* error);
void nak_fault_clear(uint32_t* nak, int32_t* nak_reg);
void nak_fault_list(std::ostream& out);

}  // namespace qxsim
