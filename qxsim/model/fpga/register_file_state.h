#pragma once

#include <cstdint>

namespace qxsim {

// Registers nobody modelled: a fixed open-addressing table keyed by the
// register offset.
struct RegisterFileEntry {
    uint32_t used;
    uint32_t reg;
    uint32_t value;
    uint32_t reads;
    uint32_t writes;
};

constexpr unsigned REGISTER_FILE_SLOTS = 1024;  // power of two

struct RegisterFileState {
    uint32_t count;
    uint32_t overflow;       // accesses dropped because the table was full
    RegisterFileEntry entry[REGISTER_FILE_SLOTS];
};

}  // namespace qxsim
