// Trace lines as any file could hold them, through the three readers: the
// line parser, the fast path for accesses, the buffer parser. Whatever the
// line parser takes is written back by the writer into a line that parses
// to the same record; the fast path takes exactly the successful accesses
// the line parser takes, alike; the buffer parser reads a whole buffer line
// for line as the line parser does.
#include "qxsim/trace/trace_format.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, std::string_view line)
{
    std::fprintf(stderr, "%s: \"%.*s\"\n", what, static_cast<int>(line.size()), line.data());
    abort();
}

bool same(const qxsim::TraceRecord& a, const qxsim::TraceRecord& b)
{
    return a.pid == b.pid && a.time_ns == b.time_ns && a.kind == b.kind && a.reg == b.reg && a.value == b.value &&
           a.error == b.error && a.killed == b.killed && a.refused == b.refused && a.text == b.text &&
           a.bus == b.bus && a.dev == b.dev && a.width == b.width && a.ack == b.ack && a.bus_read == b.bus_read;
}

void one_line(std::string_view line)
{
    qxsim::TraceRecord rec;
    const bool ok = qxsim::parse_trace_line(line, &rec);
    const bool access = ok && (rec.kind == 'R' || rec.kind == 'W') && !rec.error && !rec.killed;
    qxsim::TraceRecord fast;
    const bool fast_ok = qxsim::parse_trace_access(line, &fast);
    if (fast_ok && !access)
        fail("the fast path took a line the parser does not take as an access", line);
    if (fast_ok && (fast.pid != rec.pid || fast.time_ns != rec.time_ns || fast.kind != rec.kind ||
                    fast.reg != rec.reg || fast.value != rec.value))
        fail("the fast path read an access otherwise", line);
    if (!ok)
        return;
    std::vector<char> buf(qxsim::TRACE_LINE_FIXED + rec.text.size());
    size_t n = qxsim::format_trace_line(rec, buf.data(), buf.size());
    if (n > buf.size() || n == 0 || buf[n - 1] != '\n')
        fail("the writer's line does not fit its own bound", line);
    std::string written(buf.data(), n);
    qxsim::TraceRecord back;
    if (!qxsim::parse_trace_line(written, &back) || !same(back, rec))
        fail("written back, the line reads otherwise", written);
    // an access as the writer writes it always takes the fast path
    if (access && !qxsim::parse_trace_access(std::string_view(written).substr(0, n - 1), &fast))
        fail("the fast path missed an access as written", written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> lines;
    for (size_t start = 0; start <= text.size();) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) {
            if (start < text.size())
                lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    for (std::string_view line : lines)
        one_line(line);

    // The buffer parser: line for line what the line parser makes of it.
    const char* p = text.data();
    const char* end = p + text.size();
    size_t i = 0;
    while (p < end) {
        qxsim::TraceRecord rec, alone;
        bool ok;
        const char* next = qxsim::parse_trace_buffer(p, end, &rec, &ok);
        if (i >= lines.size() || next <= p)
            fail("the buffer parser found other lines", lines.empty() ? text : lines.back());
        const bool alone_ok = qxsim::parse_trace_line(lines[i], &alone);
        if (ok != alone_ok || (ok && !same(rec, alone)))
            fail("the buffer parser read a line otherwise", lines[i]);
        p = next;
        i++;
    }
    if (i != lines.size())
        fail("the buffer parser found other lines", text);
    return 0;
}
