#include "qxsim/model/crc32.h"

#include <array>

namespace qxsim {

namespace {

std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[i] = c;
    }
    return t;
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len) {
    static const std::array<uint32_t, 256> table = make_table();
    crc = ~crc;
    for (size_t i = 0; i < len; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace qxsim
