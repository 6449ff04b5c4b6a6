// The decoded view folded for reading at a glance: runs of one process's
// page programs, reads or sector erases at consecutive addresses become one
// entry with their count, address range, bytes and duration. Every other
// entry passes unchanged.
#pragma once

#include "qxsim/trace/trace_decoder.h"

#include <cstdint>
#include <map>
#include <vector>

namespace qxsim {

// Streaming: feed entries in listing order; a folded entry comes out when
// its run ends (another operation of its process, or flush()), so entries
// of other processes may come out before it (its `first` keeps its place).
class EntryCollapser {
public:
    void feed(DecodedEntry entry, std::vector<DecodedEntry>* out);
    // Ends every run.
    void flush(std::vector<DecodedEntry>* out);
    bool pending() const { return !runs_.empty(); }

private:
    enum Op { PROGRAM, READ, ERASE };
    struct Run {
        DecodedEntry head;
        Op op = PROGRAM;
        bool image = false;
        uint32_t count = 0;
        uint64_t start = 0, next = 0;
        uint64_t end_ns = 0;
        size_t last = 0;
        uint32_t records = 0;
    };
    static bool foldable(const DecodedEntry& e, Op* op, uint64_t* addr, uint64_t* size, bool* image);
    static void end(Run& run, std::vector<DecodedEntry>* out);
    std::map<int32_t, Run> runs_;
};

// The whole listing folded, in the order of the entries' first records.
std::vector<DecodedEntry> collapse_decoded(std::vector<DecodedEntry> entries);

}  // namespace qxsim
