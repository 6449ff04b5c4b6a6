#include "qxsim/trace/proc_line.h"

#include "qxsim/trace/parse.h"

#include <fmt/format.h>

namespace qxsim {

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

bool parse_line(const char* p, const char* end, ProcLine* line)
{
    line->text.assign(p, end);
    while (p != end && blank(*p))
        p++;
    if (p == end || *p != 'w')
        return false;
    p++;
    uint32_t* fields[2] = {&line->reg, &line->value};
    for (uint32_t* field : fields) {
        if (p == end || !blank(*p))
            return false;
        while (p != end && blank(*p))
            p++;
        const char* start = p;
        while (p != end && !blank(*p))
            p++;
        if (!parse_u32(start, p, field))
            return false;
    }
    while (p != end && blank(*p))
        p++;
    return p == end;
}

}  // namespace

bool parse_proc_lines(const char* buf, size_t len, std::vector<ProcLine>* lines)
{
    std::vector<ProcLine> parsed;
    const char* p = buf;
    const char* end = buf + len;
    while (p != end) {
        const char* eol = p;
        while (eol != end && *eol != '\n')
            eol++;
        ProcLine line;
        if (!parse_line(p, eol, &line))
            return false;
        parsed.push_back(line);
        p = eol == end ? end : eol + 1;
    }
    if (parsed.empty())
        return false;
    *lines = std::move(parsed);
    return true;
}

std::vector<std::string> printable_lines(const char* buf, size_t len)
{
    std::vector<std::string> out(1);
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(buf[i]);
        if (c == '\n') {
            if (i + 1 < len)
                out.emplace_back();
        } else if (c < 0x20 || c >= 0x7F || c == '\\') {
            out.back() += fmt::format("\\x{:02x}", c);
        } else {
            out.back() += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace qxsim
