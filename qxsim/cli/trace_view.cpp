#include "qxsim/cli/trace_view.h"

#include "qxsim/trace/trace_view.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include <unistd.h>

namespace qxsim_cli {

TraceMap map_trace(const std::string& path, bool missing_ok, qxsim::MappedFile* file)
{
    if (missing_ok && ::access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return TraceMap::missing;
    std::string err;
    if (!file->open(path, true, &err)) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return TraceMap::failed;
    }
    return TraceMap::mapped;
}

int show_trace(const std::string& path, bool missing_ok, std::FILE* out)
{
    qxsim::MappedFile file;
    if (TraceMap m = map_trace(path, missing_ok, &file); m != TraceMap::mapped)
        return m == TraceMap::missing ? 0 : 2;
    std::string err;
    std::string shown;
    const char* p = file.data();
    const char* end = p + file.size();
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* eol = nl ? nl : end;
        shown = qxsim::trace_view_line(std::string_view(p, static_cast<size_t>(eol - p)));
        shown += '\n';
        std::fwrite(shown.data(), 1, shown.size(), out);
        p = nl ? nl + 1 : end;
    }
    if (file.changed(&err)) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }
    return 0;
}

}  // namespace qxsim_cli
