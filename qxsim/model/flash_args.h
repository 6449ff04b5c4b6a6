// Number arguments of the flash blocks' faults and front-end commands.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace qxsim::flash_args {

// A whole unsigned 32-bit number: decimal, 0x hexadecimal or 0 octal.
inline bool parse_u32(const std::string& text, uint32_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

// A whole signed 32-bit number (used for level offsets).
inline bool parse_i32(const std::string& text, int32_t* value) {
    if (text.empty()) return false;
    bool negative = text[0] == '-';
    uint32_t magnitude;
    if (!parse_u32(negative ? text.substr(1) : text, &magnitude)) return false;
    if (magnitude > (negative ? 0x80000000u : 0x7FFFFFFFu)) return false;
    *value = negative ? static_cast<int32_t>(0u - magnitude) : static_cast<int32_t>(magnitude);
    return true;
}

}  // namespace qxsim::flash_args
