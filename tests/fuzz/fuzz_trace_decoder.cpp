// The trace decoder on any text. What it makes of a trace is checked
// against what the lines themselves are: every line is in exactly one
// entry (each access in one transaction, operation or entry of its own;
// each line the parser refuses in an unreadable-line entry), entries lie
// within the input and come in the order of their first line, opens,
// closes, exit records and power cuts are one entry each; the streaming
// decoder, fed line by line, ends with the same entries; and every I2C
// transaction it names reads back into a transfer (as the waveform export
// reads it).
#include "qxsim/trace/decoded_i2c.h"
#include "qxsim/trace/trace_decoder.h"
#include "qxsim/trace/trace_format.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    abort();
}

auto key(const qxsim::DecodedEntry& e)
{
    return std::make_tuple(e.first, e.last, static_cast<int>(e.kind), e.text, e.records);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The lines as decode_trace_text sees them: empty ones are skipped.
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    size_t in_entries = 0, bad = 0, single = 0, cuts = 0;
    qxsim::TraceDecoder streaming;
    std::vector<qxsim::DecodedEntry> streamed;
    for (std::string_view line : lines) {
        qxsim::TraceRecord r;
        if (!qxsim::parse_trace_line(line, &r)) {
            bad++;
            in_entries++;
            streaming.feed_bad_line(line);
        } else {
            if (r.kind != qxsim::TRACE_COMMENT && r.kind != qxsim::TRACE_I2C_BUS)
                in_entries++;
            single += r.kind == 'O' || r.kind == 'C' || r.kind == 'X' || r.kind == 'Z';
            cuts += r.killed;
            streaming.feed(r);
        }
        for (qxsim::DecodedEntry& e : streaming.take())
            streamed.push_back(std::move(e));
    }
    streaming.finish();
    for (qxsim::DecodedEntry& e : streaming.take())
        streamed.push_back(std::move(e));

    std::vector<qxsim::DecodedEntry> entries = qxsim::decode_trace_text(text);
    size_t records = 0, bad_entries = 0, single_entries = 0, cut_entries = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        const qxsim::DecodedEntry& e = entries[i];
        if (e.records == 0 || e.first > e.last || e.last >= lines.size())
            fail("an entry outside the input", qxsim::format_decoded(e));
        if (i > 0 && entries[i - 1].first > e.first)
            fail("entries out of the order of their first line", qxsim::format_decoded(e));
        if (e.records > e.last - e.first + 1)
            fail("an entry of more lines than it spans", qxsim::format_decoded(e));
        records += e.records;
        bad_entries += e.kind == qxsim::DECODED_BAD_LINE;
        single_entries += e.kind == qxsim::DECODED_OPEN || e.kind == qxsim::DECODED_CLOSE ||
                          e.kind == qxsim::DECODED_EXIT;
        cut_entries += e.kind == qxsim::DECODED_POWER_CUT;
        qxsim::I2cTransfer t;
        const bool on_bus = e.kind == qxsim::DECODED_I2C &&
                            (e.text.rfind("read dev ", 0) == 0 || e.text.rfind("write dev ", 0) == 0) &&
                            e.text.find(", still busy after") == std::string::npos;
        if (on_bus && !qxsim::decoded_i2c_transfer(e, &t))
            fail("an I2C transaction the waveform export cannot read", qxsim::format_decoded(e));
    }
    if (records != in_entries)
        fail("lines not in exactly one entry", std::to_string(records) + " of " + std::to_string(in_entries));
    if (bad_entries != bad || single_entries != single || cut_entries != cuts)
        fail("unreadable lines, opens, closes, exits or power cuts not one entry each", std::string(text));

    std::vector<qxsim::DecodedEntry> whole = entries;
    auto by_key = [](const qxsim::DecodedEntry& a, const qxsim::DecodedEntry& b) { return key(a) < key(b); };
    std::sort(whole.begin(), whole.end(), by_key);
    std::sort(streamed.begin(), streamed.end(), by_key);
    if (whole.size() != streamed.size() ||
        !std::equal(whole.begin(), whole.end(), streamed.begin(),
                    [](const qxsim::DecodedEntry& a, const qxsim::DecodedEntry& b) { return key(a) == key(b); }))
        fail("the streaming decoder ends with other entries", std::string(text));
    return 0;
}
