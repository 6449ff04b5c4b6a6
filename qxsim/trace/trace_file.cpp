#include "qxsim/trace/trace_file.h"

#include <fmt/format.h>

namespace qxsim {

TraceFileShape inspect_trace_file(std::string_view text)
{
    TraceFileShape s;
    size_t begin = text.find_first_not_of('\n');
    if (begin == std::string_view::npos)
        return s;
    s.empty = false;
    if (text.back() != '\n') {
        s.problem = "its last line is cut short (no newline at its end)";
        return s;
    }
    size_t first_end = text.find('\n', begin);
    TraceRecord r;
    const std::string_view version = std::string_view(RECORDING_VERSION_LINE).substr(2);
    const std::string_view family = version.substr(0, version.rfind(' ') + 1);  // "qxsim recording "
    if (parse_trace_line(text.substr(begin, first_end - begin), &r) && r.kind == TRACE_COMMENT &&
        r.text.substr(0, family.size()) == family) {
        if (r.text != version) {
            s.problem = fmt::format("is a recording of format '{}'; this qxsim reads '{}'", r.text, version);
            return s;
        }
        s.versioned = true;
    }
    size_t end = text.find_last_not_of('\n') + 1;
    size_t start = text.rfind('\n', end - 1);
    start = start == std::string_view::npos ? 0 : start + 1;
    s.last_pos = start;
    if (parse_trace_line(text.substr(start, end - start), &r) && r.kind == TRACE_END) {
        s.ended = true;
        s.end = r;
    }
    if (s.versioned && !s.ended)
        s.problem = "has no end mark (its last line is not a Z line): the recording was cut short or lost its "
                    "end in a copy";
    return s;
}

}  // namespace qxsim
