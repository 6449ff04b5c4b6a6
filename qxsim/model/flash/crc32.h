// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320): the checksum the
// simulated camera reports for booted images and flash ranges.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qxsim {

// Continue a running CRC over `len` bytes; start with crc = 0.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len);

inline uint32_t crc32(const uint8_t* data, size_t len)
{
    return crc32_update(0, data, len);
}

}  // namespace qxsim
