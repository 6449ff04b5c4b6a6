#include "qxsim/model/devices/register_device.h"

#include <fmt/format.h>

#include <cstring>

namespace qxsim {

uint32_t RegisterDevice::mask() const
{
    return s_.width == 4 ? 0xFFFFFFFFu : s_.width == 2 ? 0xFFFFu : 0xFFu;
}

bool RegisterDevice::read(uint8_t, uint8_t reg, uint32_t* data, unsigned* width)
{
    if (nak_fires(s_.faults, reg))
        return false;
    s_.reads++;
    *data = s_.reg[reg] & mask();
    *width = s_.width;
    return true;
}

bool RegisterDevice::write(uint8_t, uint8_t reg, uint16_t data)
{
    if (nak_fires(s_.faults, reg))
        return false;
    s_.writes++;
    s_.reg[reg] = data & mask();
    return true;
}

void RegisterDevice::install(uint8_t addr, unsigned width, const char* label)
{
    s_ = RegisterDeviceState{};
    s_.addr = addr;
    s_.width = width == 4 || width == 2 ? width : 1;
    std::strncpy(s_.label, label, sizeof s_.label - 1);
    fill_registers();
    s_.used = 1;
}

void RegisterDevice::fill_registers()
{
    const uint32_t addr = s_.addr;
    for (unsigned r = 0; r < 256; r++) {
        // the first byte of every answer is the register number; 16-bit
        // registers add the device address, 32-bit ones "D" and the
        // register's complement
        uint32_t v = s_.width == 1   ? r
                     : s_.width == 2 ? (r << 8 | addr)
                                     : (r << 24 | uint32_t(addr) << 16 | 0xD0u << 8 | (~r & 0xFF));
        s_.reg[r] = v & mask();
    }
}

void RegisterDevice::reset()
{
    if (!s_.used)
        return;
    RegisterDeviceState keep = s_;
    install(static_cast<uint8_t>(keep.addr), keep.width, keep.label);
}

// The device stays where the board has it; its registers start over.
void RegisterDevice::power_on()
{
    if (s_.used)
        fill_registers();
}

void RegisterDevice::describe(std::ostream& out) const
{
    const std::string_view label(s_.label, strnlen(s_.label, sizeof s_.label));  // the file's bytes
    out << fmt::format("  0x{:02x} {}: {}-bit registers, {} read(s), {} write(s)\n", s_.addr, label,
                       s_.width * 8, s_.reads, s_.writes);
    describe_faults(out);
}

}  // namespace qxsim
