// The power-cut sweep's judgement: from one run's flash journal, the array
// before the run and the array the uncut run left, the camera as it would
// come back if the power had been cut just before each access of the run
// (and, with torn operations, inside each erase and page program).
//
// A cut just before access k leaves what the uncut run had after access
// k-1: the changes made at accesses 1 .. k-1, nothing volatile. The sweep
// walks k upwards and applies each change once, keeping the offset record,
// the protection bits and three counts: application-region bytes (of the
// sectors the run touched) that differ from before the run, those that
// differ from after it, and factory-region bytes that differ from before.
// Which image boots is the configuration logic's own decision
// (FpgaBoot::choose) on the record bytes of the cut state. The cost grows
// with the accesses plus the bytes the run changed.
#pragma once

#include "qxsim/model/flash/flash_store.h"
#include "qxsim/sweep/flash_journal.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace qxsim {

enum class CutVerdict : uint8_t {
    old_image,  // the application image that booted before the run, complete
    factory,    // no valid offset record: the factory image, unchanged
    new_image,  // the application image the uncut run leaves, complete
    bricked,    // a valid record naming neither complete image, or a changed factory image booting
};
constexpr unsigned CUT_VERDICTS = 4;

const char* verdict_name(CutVerdict v);  // "old application", "factory", ...
const char* verdict_word(CutVerdict v);  // "old", "factory", "new", "bricked"

struct CutPoint {
    uint64_t access = 0;                // cut just before the run's access `access` (1 = its first)
    const FlashChange* torn = nullptr;  // a cut inside this operation (taken at `access`), or none
    uint32_t torn_bytes = 0;            // its bytes done: a program's first bytes, an erase's first bytes
    CutVerdict verdict = CutVerdict::factory;
    uint8_t protection = 0;        // the status register's protection bits after the cut
    bool factory_changed = false;  // the factory region differs from before the run
};

struct SweepInput {
    const FlashJournal* journal = nullptr;
    uint64_t first_access = 0;  // the camera's access counter before the run: access k is first_access + k
    uint64_t accesses = 0;      // the run's accesses: points 1 .. accesses
    const FlashStore* before = nullptr;
    const FlashStore* after = nullptr;
    uint8_t protection_before = 0;
    bool torn = false;
    // Points to judge, ascending; null: every one.
    const std::vector<uint64_t>* sample = nullptr;
};

// Where each erase and page program is also cut inside itself: nothing
// landed, the first byte, half, all but the last byte (of the page program's
// bytes, or of the 64 KiB sector). As the torn faults do it: a program's
// first bytes in the order they enter the page buffer, an erase's first
// bytes of the sector.
std::vector<uint32_t> torn_cuts(const FlashChange& change);

// Judges every point (or every sampled one), in order: each access's own
// point, then its operation's torn points. Each is handed to `visit`.
void sweep_cuts(const SweepInput& in, const std::function<void(const CutPoint&)>& visit);

}  // namespace qxsim
