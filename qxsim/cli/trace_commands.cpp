#include "qxsim/cli/trace_commands.h"

#include "qxsim/model/trace_decoder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxsim_cli {

int trace_show_decoded(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return 0;  // no trace yet: nothing to show, as the raw view
        std::fprintf(stderr, "qxsim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        std::fprintf(stderr, "qxsim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        ::close(fd);
        return 1;
    }
    size_t size = static_cast<size_t>(st.st_size);
    std::vector<qxsim::DecodedEntry> entries;
    if (size > 0) {
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (map == MAP_FAILED) {
            std::fprintf(stderr, "qxsim: cannot map %s: %s\n", path.c_str(), std::strerror(errno));
            ::close(fd);
            return 1;
        }
        ::madvise(map, size, MADV_SEQUENTIAL);
        entries = qxsim::decode_trace_text(std::string_view(static_cast<const char*>(map), size));
        ::munmap(map, size);
    }
    ::close(fd);
    std::string out;
    qxsim::format_decoded(entries, &out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

}  // namespace qxsim_cli
