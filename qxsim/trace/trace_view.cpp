#include "qxsim/trace/trace_view.h"

#include "qxsim/model/fpga/register_names.h"
#include "qxsim/trace/parse.h"

namespace qxsim {

namespace {

// [begin, end) of the word starting at or after `from`.
bool next_word(std::string_view line, size_t from, size_t* begin, size_t* end)
{
    size_t b = line.find_first_not_of(" \t", from);
    if (b == std::string_view::npos)
        return false;
    size_t e = line.find_first_of(" \t", b);
    *begin = b;
    *end = e == std::string_view::npos ? line.size() : e;
    return true;
}

const char* name_of(std::string_view line, size_t begin, size_t end)
{
    uint32_t reg = 0;
    if (!parse_u32(line.data() + begin, line.data() + end, &reg))
        return nullptr;
    return register_name(reg);
}

}  // namespace

// The kind follows the pid, or the pid and a time ("12.000123456").
std::string trace_view_line(std::string_view line)
{
    size_t b = 0, e = 0;
    if (!next_word(line, 0, &b, &e) || !next_word(line, e, &b, &e))
        return std::string(line);
    if (line.substr(b, e - b).find('.') != std::string_view::npos && !next_word(line, e, &b, &e))
        return std::string(line);
    const std::string_view kind = line.substr(b, e - b);
    if (kind != "R" && kind != "W" && kind != "P")
        return std::string(line);
    size_t rb = 0, re = 0;
    if (!next_word(line, e, &rb, &re))
        return std::string(line);
    if (kind == "P" && line.substr(rb, re - rb) == "w") {
        // an accepted proc line, "w REG VALUE" as the tool wrote it
        size_t ab = 0, ae = 0;
        const char* name = next_word(line, re, &ab, &ae) ? name_of(line, ab, ae) : nullptr;
        return name ? std::string(line) + "  (" + name + ")" : std::string(line);
    }
    // "R|W 0x<reg> ..." and the power cut at a proc line, "P 0x<reg> K"
    const char* name = name_of(line, rb, re);
    if (!name)
        return std::string(line);
    return std::string(line.substr(0, rb)) + name + std::string(line.substr(re));
}

}  // namespace qxsim
