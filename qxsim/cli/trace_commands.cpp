#include "qxsim/cli/trace_commands.h"

#include "qxsim/trace/mapped_file.h"
#include "qxsim/trace/trace_decoder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace qxsim_cli {

int trace_show_decoded(const std::string& path)
{
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        return 0;  // no trace yet: nothing to show, as the raw view
    qxsim::MappedFile file;
    std::string err;
    if (!file.open(path, true, &err)) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 1;
    }
    std::vector<qxsim::DecodedEntry> entries =
        qxsim::decode_trace_text(std::string_view(file.data(), file.size()));
    std::string out;
    qxsim::format_decoded(entries, &out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}  // namespace qxsim_cli
