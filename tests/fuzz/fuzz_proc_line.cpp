// The driver's proc file as the simulated camera parses it: any buffer a
// shell could write. A buffer is taken whole or refused whole; what it
// takes must print back to lines it takes again with the same numbers, and
// the trace's printable form never carries a control byte.
#include "qxsim/trace/parse.h"
#include "qxsim/trace/proc_line.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* buf = reinterpret_cast<const char*>(data);
    std::vector<qxsim::ProcLine> lines;
    bool ok = qxsim::parse_proc_lines(buf, size, &lines);
    if (!ok && !lines.empty())
        abort();  // a refused buffer leaves the output alone
    if (ok) {
        if (lines.empty())
            abort();
        std::string again;
        for (const qxsim::ProcLine& l : lines) {
            if (l.text.find('\n') != std::string::npos)
                abort();
            char text[64];
            std::snprintf(text, sizeof text, "w 0x%x 0x%x\n", l.reg, l.value);
            again += text;
        }
        std::vector<qxsim::ProcLine> back;
        if (!qxsim::parse_proc_lines(again.data(), again.size(), &back) || back.size() != lines.size())
            abort();
        for (size_t i = 0; i < lines.size(); i++)
            if (back[i].reg != lines[i].reg || back[i].value != lines[i].value)
                abort();
    }
    for (const std::string& p : qxsim::printable_lines(buf, size))
        for (unsigned char c : p)
            if (c < 0x20 || c == 0x7F)
                abort();

    // The number parser under it: whatever it accepts is 32 bits and prints
    // back to itself.
    uint32_t v = 0;
    if (qxsim::parse_u32(buf, buf + size, &v)) {
        char dec[16];
        std::snprintf(dec, sizeof dec, "%u", v);
        uint32_t w = 0;
        if (!qxsim::parse_u32(dec, &w) || w != v)
            abort();
    }
    return 0;
}
