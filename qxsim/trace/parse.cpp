#include "qxsim/trace/parse.h"

namespace qxsim {

bool parse_u32(const char* p, const char* end, uint32_t* value)
{
    unsigned base = 10;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (p == end)
        return false;
    uint64_t v = 0;
    for (; p != end; p++) {
        unsigned d;
        if (*p >= '0' && *p <= '9')
            d = static_cast<unsigned>(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            d = static_cast<unsigned>(*p - 'a' + 10);
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            d = static_cast<unsigned>(*p - 'A' + 10);
        else
            return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFu)
            return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

bool parse_u32(const std::string& text, uint32_t* value)
{
    return parse_u32(text.data(), text.data() + text.size(), value);
}

}  // namespace qxsim
