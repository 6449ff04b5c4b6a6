// Reads the decoder's I2C lines: "read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack",
// "write dev 0x10 reg 0x30 data 0x4b00, no ack (error bit, ...)", "write ...,
// outcome read by pid 12" (acknowledged, as another process's status read
// showed).
#include "qxsim/trace/decoded_i2c.h"

#include <cstring>
#include <string_view>

namespace qxsim {

namespace {

bool take(std::string_view& s, std::string_view word)
{
    if (s.substr(0, word.size()) != word)
        return false;
    s.remove_prefix(word.size());
    return true;
}

// "0x" and hexadecimal digits; *digits counts them.
bool take_hex(std::string_view& s, uint32_t* v, size_t* digits = nullptr)
{
    if (!take(s, "0x"))
        return false;
    size_t n = 0;
    uint32_t x = 0;
    while (n < s.size() && n < 8) {
        char c = s[n];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            break;
        x = (x << 4) | static_cast<uint32_t>(d);
        n++;
    }
    if (n == 0)
        return false;
    s.remove_prefix(n);
    *v = x;
    if (digits)
        *digits = n;
    return true;
}

}  // namespace

bool decoded_i2c_transfer(const DecodedEntry& entry, I2cTransfer* out)
{
    if (entry.kind != DECODED_I2C)
        return false;
    static const char* const blocks[3] = {"i2c-main", "i2c-isb", "i2c-iob"};
    int bus = -1;
    for (int b = 0; b < 3; b++)
        if (std::strcmp(entry.block, blocks[b]) == 0)
            bus = b;
    if (bus < 0)
        return false;
    I2cTransfer t;
    t.bus = static_cast<uint8_t>(bus);
    std::string_view s = entry.text;
    uint32_t dev = 0, reg = 0, data = 0;
    if (take(s, "read dev "))
        t.read = true;
    else if (!take(s, "write dev "))
        return false;
    if (!take_hex(s, &dev) || dev > 0xFF || !take(s, " reg ") || !take_hex(s, &reg) || reg > 0xFF)
        return false;
    t.dev = static_cast<uint8_t>(dev);
    t.reg = static_cast<uint8_t>(reg);
    if (!t.read) {
        if (!take(s, " data ") || !take_hex(s, &data))
            return false;
        t.width = 2;
        t.data = data & 0xFFFF;
    } else if (take(s, " -> ")) {
        size_t digits = 0;
        if (!take_hex(s, &data, &digits) || (digits != 2 && digits != 4 && digits != 8))
            return false;
        t.width = static_cast<uint8_t>(digits / 2);
        t.data = data;
        size_t close = s.find(')');
        if (close == std::string_view::npos)
            return false;
        s.remove_prefix(close + 1);
    }
    if (!take(s, ", "))
        return false;
    if (take(s, "ack") || take(s, "outcome read by pid ")) {
        t.ack = t.outcome_known = true;
    } else if (take(s, "no ack")) {
        t.outcome_known = true;
    } else if (!take(s, "result not read")) {
        return false;  // still busy: the master never finished it
    }
    *out = t;
    return true;
}

}  // namespace qxsim
