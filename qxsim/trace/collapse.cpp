// Folding reads the decoder's flash lines: "program 256 bytes at
// 0x02000000 (image data)", "read 256 bytes at ...", "erase sector 512 at
// 0x02000000". A line with anything more (an error, a short FIFO, a mixed
// mark) is not folded.
#include "qxsim/trace/collapse.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qxsim {

namespace {

constexpr uint64_t SECTOR_BYTES = 0x10000;
const char IMAGE_MARK[] = " (image data)";

}  // namespace

bool EntryCollapser::foldable(const DecodedEntry& e, Op* op, uint64_t* addr, uint64_t* size, bool* image)
{
    if (e.kind != DECODED_FLASH || e.failed || e.mixed)
        return false;
    const char* s = e.text.c_str();
    unsigned n = 0, a = 0;
    int used = 0;
    if (std::sscanf(s, "program %u bytes at 0x%x%n", &n, &a, &used) == 2 && used > 0)
        *op = PROGRAM;
    else if (std::sscanf(s, "read %u bytes at 0x%x%n", &n, &a, &used) == 2 && used > 0)
        *op = READ;
    else if (std::sscanf(s, "erase sector %u at 0x%x%n", &n, &a, &used) == 2 && used > 0)
        *op = ERASE;
    else
        return false;
    const char* rest = s + used;
    *image = std::strcmp(rest, IMAGE_MARK) == 0;
    if (*rest && !(*image && *op != ERASE))
        return false;
    *addr = a;
    *size = *op == ERASE ? SECTOR_BYTES : n;
    return *size > 0;
}

void EntryCollapser::end(Run& r, std::vector<DecodedEntry>* out)
{
    if (r.count == 1) {
        out->push_back(std::move(r.head));
        return;
    }
    DecodedEntry e = std::move(r.head);
    e.end_ns = r.end_ns;
    e.last = r.last;
    e.records = r.records;
    double seconds = static_cast<double>(r.end_ns - e.time_ns) / 1e9;
    uint64_t bytes = r.next - r.start;
    const char* image = r.image ? IMAGE_MARK : "";
    if (r.op == ERASE)
        e.text = fmt::format("erase sectors {}..{} (0x{:08x}..0x{:08x}), {} sectors, {:.6f} s", r.start / SECTOR_BYTES,
                             r.next / SECTOR_BYTES - 1, r.start, r.next - 1, r.count, seconds);
    else
        e.text = fmt::format("{} 0x{:08x}..0x{:08x} in {} {}, {} bytes{}, {:.6f} s", r.op == PROGRAM ? "program" : "read",
                             r.start, r.next - 1, r.count, r.op == PROGRAM ? "page programs" : "reads", bytes, image,
                             seconds);
    out->push_back(std::move(e));
}

void EntryCollapser::feed(DecodedEntry e, std::vector<DecodedEntry>* out)
{
    Op op;
    uint64_t addr = 0, size = 0;
    bool image = false;
    auto it = runs_.find(e.pid);
    if (!foldable(e, &op, &addr, &size, &image)) {
        if (it != runs_.end()) {
            end(it->second, out);
            runs_.erase(it);
        }
        out->push_back(std::move(e));
        return;
    }
    if (it != runs_.end()) {
        Run& r = it->second;
        if (r.op == op && r.image == image && r.next == addr) {
            r.count++;
            r.next = addr + size;
            r.end_ns = e.end_ns;
            r.last = e.last;
            r.records += e.records;
            return;
        }
        end(r, out);
        runs_.erase(it);
    }
    Run r;
    r.op = op;
    r.image = image;
    r.count = 1;
    r.start = addr;
    r.next = addr + size;
    r.end_ns = e.end_ns;
    r.last = e.last;
    r.records = e.records;
    int32_t pid = e.pid;
    r.head = std::move(e);
    runs_.emplace(pid, std::move(r));
}

void EntryCollapser::flush(std::vector<DecodedEntry>* out)
{
    for (auto& [pid, run] : runs_)
        end(run, out);
    runs_.clear();
}

std::vector<DecodedEntry> collapse_decoded(std::vector<DecodedEntry> entries)
{
    EntryCollapser c;
    std::vector<DecodedEntry> out;
    out.reserve(entries.size() / 4 + 16);
    for (DecodedEntry& e : entries)
        c.feed(std::move(e), &out);
    c.flush(&out);
    std::stable_sort(out.begin(), out.end(), [](const DecodedEntry& a, const DecodedEntry& b) { return a.first < b.first; });
    return out;
}

}  // namespace qxsim
