// Number parsing shared by the front end, the proc-line parser and the
// fault arguments: "0x" hexadecimal or decimal, full 32 bits, nothing else.
#pragma once

#include <cstdint>
#include <string>

namespace qxsim {

bool parse_u32(const std::string& text, uint32_t* value);
bool parse_u32(const char* begin, const char* end, uint32_t* value);

}  // namespace qxsim
