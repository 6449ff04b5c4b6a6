// The recording merge on any process file: the bytes after a valid header,
// beside a whole file of another process. The merge must succeed, keep the
// whole file's lines, and write only lines the trace parser takes.
#include "qxsim/record/record_format.h"
#include "qxsim/record/record_merge.h"
#include "qxsim/trace/trace_format.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

std::string folder()
{
    static std::string dir = [] {
        char templ[] = "/tmp/qxfuzzmerge.XXXXXX";
        if (!::mkdtemp(templ))
            abort();
        return std::string(templ);
    }();
    return dir;
}

void write_file(const std::string& path, uint32_t pid, const uint8_t* body, size_t size)
{
    qxsim::rec::FileHeader h = {};
    std::memcpy(h.magic, qxsim::rec::MAGIC, sizeof h.magic);
    h.pid = pid;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&h), sizeof h);
    out.write(reinterpret_cast<const char*>(body), std::streamsize(size));
}

// Process 7: one segment, a reading, a write of 5 to 0x1000, exit 0.
const uint8_t whole[] = {
    qxsim::rec::OP_SEGMENT, 1, 0, 0, 0,
    qxsim::rec::OP_TIME, 0, 0, 0, 0, 1, 0, 0, 0,
    qxsim::rec::OP_SLOT, 0, 0, 0x10, 0, 0,
    qxsim::rec::OP_WRITE, 1, 5, 0, 0, 0,
    qxsim::rec::OP_END, qxsim::rec::END_EXIT, 0, 0, 0, 0,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string dir = folder();
    write_file(dir + "/1.0.rec", 7, whole, sizeof whole);
    write_file(dir + "/2.0.rec", 8, data, size);
    qxsim::MergeResult result;
    std::string err;
    qxsim::SessionEnd end{7, 2000000000ull, false, 0};
    if (!qxsim::merge_recording(dir, dir + "/out.trace", end, &result, &err))
        abort();
    std::ifstream in(dir + "/out.trace");
    std::string line;
    bool whole_write = false;
    size_t lines = 0;
    while (std::getline(in, line)) {
        qxsim::TraceRecord rec;
        if (!qxsim::parse_trace_line(line, &rec)) {
            std::fprintf(stderr, "unparsable line: %s\n", line.c_str());
            abort();
        }
        whole_write |= rec.pid == 7 && rec.kind == 'W' && rec.reg == 0x1000 && rec.value == 5;
        lines++;
    }
    if (!whole_write || lines < 4)
        abort();
    return 0;
}
