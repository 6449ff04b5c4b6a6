#include "qxsim/model/flash/crc32.h"

#include <array>

namespace qxsim {

namespace {

// Slicing-by-8 tables: t[0] is the classic byte table, t[k][i] the CRC of
// byte i followed by k zero bytes.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

Tables make_tables()
{
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (int k = 1; k < 8; ++k)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len)
{
    static const Tables t = make_tables();
    crc = ~crc;
    while (len >= 8) {
        uint32_t lo = crc ^ (data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][data[4]] ^
              t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
        data += 8;
        len -= 8;
    }
    while (len--)
        crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace qxsim
