#include "qxsim/cli/trace_view.h"

#include "qxsim/trace/parse.h"
#include "qxsim/model/fpga/register_names.h"

#include <fstream>

namespace qxsim_cli {

namespace {

// [begin, end) of the word starting at or after `from`.
bool next_word(const std::string& line, size_t from, size_t* begin, size_t* end)
{
    size_t b = line.find_first_not_of(" \t", from);
    if (b == std::string::npos)
        return false;
    size_t e = line.find_first_of(" \t", b);
    *begin = b;
    *end = e == std::string::npos ? line.size() : e;
    return true;
}

const char* name_of(const std::string& line, size_t begin, size_t end)
{
    uint32_t reg = 0;
    if (!qxsim::parse_u32(line.data() + begin, line.data() + end, &reg))
        return nullptr;
    return qxsim::register_name(reg);
}

}  // namespace

// The kind follows the pid, or the pid and a time ("12.000123456").
std::string trace_view_line(const std::string& line)
{
    size_t b = 0, e = 0;
    if (!next_word(line, 0, &b, &e) || !next_word(line, e, &b, &e))
        return line;
    if (line.find('.', b) < e && !next_word(line, e, &b, &e))
        return line;
    const std::string kind = line.substr(b, e - b);
    if (kind != "R" && kind != "W" && kind != "P")
        return line;
    size_t rb = 0, re = 0;
    if (!next_word(line, e, &rb, &re))
        return line;
    if (kind == "P" && line.compare(rb, re - rb, "w") == 0) {
        // an accepted proc line, "w REG VALUE" as the tool wrote it
        size_t ab = 0, ae = 0;
        const char* name = next_word(line, re, &ab, &ae) ? name_of(line, ab, ae) : nullptr;
        return name ? line + "  (" + name + ")" : line;
    }
    // "R|W 0x<reg> ..." and the power cut at a proc line, "P 0x<reg> K"
    const char* name = name_of(line, rb, re);
    if (!name)
        return line;
    return line.substr(0, rb) + name + line.substr(re);
}

void show_trace(const std::string& path, std::FILE* out)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::string shown = trace_view_line(line);
        shown += '\n';
        std::fwrite(shown.data(), 1, shown.size(), out);
    }
}

}  // namespace qxsim_cli
