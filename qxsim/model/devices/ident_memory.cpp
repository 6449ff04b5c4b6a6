#include "qxsim/model/devices/ident_memory.h"

#include "qxsim/trace/parse.h"

#include <fmt/format.h>

#include <cctype>
#include <cstring>

namespace qxsim {

const SensorCode sensor_codes[6] = {
    {"LUX13HS-C", 0x58334843}, {"LUX13HS-M", 0x5833484D}, {"LUX19HS-C", 0x58394843},
    {"LUX19HS-M", 0x5839484D}, {"LINCE5M-C", 0x414C3543}, {"LINCE5M-M", 0x414C354D},
};

namespace {

const char board_text[] = "QX-ISB rev C  SN 20417";

std::string upper(const std::string& s)
{
    std::string u = s;
    for (char& c : u)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

}  // namespace

bool parse_sensor(const std::string& text, uint32_t* code)
{
    std::string u = upper(text);
    for (const SensorCode& s : sensor_codes) {
        std::string name = s.name;
        if (u == name || (name.compare(name.size() - 2, 2, "-C") == 0 && u == name.substr(0, name.size() - 2))) {
            *code = s.code;
            return true;
        }
    }
    if (text.size() == 4 && !(text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))) {
        uint32_t c = 0;
        for (int i = 3; i >= 0; i--)
            c = (c << 8) | static_cast<unsigned char>(text[static_cast<size_t>(i)]);
        *code = c;
        return true;
    }
    return text.size() > 2 && parse_u32(text, code);
}

const char* sensor_name(uint32_t code)
{
    for (const SensorCode& s : sensor_codes)
        if (s.code == code)
            return s.name;
    return "unknown";
}

std::string ident_read_meaning(uint8_t reg, uint32_t data, unsigned width)
{
    const char c = static_cast<char>(data & 0xFF);
    const char* what = reg >= IDENT_CODE_REG && reg < IDENT_CODE_REG + 4 ? "sensor code"
                       : reg >= IDENT_TEXT_REG                           ? "board text"
                                                                          : nullptr;
    if (width != 8 || !what || c < 0x20 || c >= 0x7F)
        return "";
    return fmt::format("{} '{}'", what, c);
}

bool IdentMemory::read(uint8_t, uint8_t reg, uint32_t* data, unsigned* width)
{
    if (nak_fires(s_.faults, reg))
        return false;
    s_.reads++;
    *data = s_.reg[reg];
    *width = 1;
    return true;
}

// The memory is write-protected on the sensor board: writes are
// acknowledged and have no effect.
bool IdentMemory::write(uint8_t, uint8_t reg, uint16_t)
{
    if (nak_fires(s_.faults, reg))
        return false;
    s_.writes++;
    return true;
}

// An EEPROM: nothing is lost with the power.
void IdentMemory::power_on() {}

void IdentMemory::set_code(uint32_t code)
{
    s_.code = code;
    for (unsigned i = 0; i < 4; i++)
        s_.reg[IDENT_CODE_REG + i] = static_cast<uint8_t>(code >> (8 * i));
}

uint32_t IdentMemory::code() const
{
    uint32_t c = 0;
    for (int i = 3; i >= 0; i--)
        c = (c << 8) | s_.reg[IDENT_CODE_REG + i];
    return c;
}

void IdentMemory::reset()
{
    uint32_t code = s_.code;
    s_ = IdentMemoryState{};
    s_.reg[0] = 0x01;  // layout revision of the memory
    std::memcpy(&s_.reg[IDENT_TEXT_REG], board_text, sizeof board_text);
    set_code(code);
}

void IdentMemory::describe(std::ostream& out) const
{
    uint32_t c = code();
    char chars[5];
    for (unsigned i = 0; i < 4; i++) {
        unsigned char b = s_.reg[IDENT_CODE_REG + i];
        chars[i] = std::isprint(b) ? static_cast<char>(b) : '.';
    }
    chars[4] = 0;
    out << fmt::format("  0x{:02x} identification memory: sensor code 0x{:08x} \"{}\" ({}), {} read(s)\n",
                       IDENT_ADDR, c, chars, sensor_name(c), s_.reads);
    describe_faults(out);
}

}  // namespace qxsim
