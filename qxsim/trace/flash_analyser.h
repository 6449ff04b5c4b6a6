// The trace's accesses to the serial-flash controller as flash operations,
// one state machine per issuer: address, length, protect code and FIFO
// words, the command, the status polls, FIFO levels and read-FIFO pops, the
// clearing of an error bit. An operation is mixed when another issuer wrote
// the controller's registers (or popped its FIFO) while its result could
// still be spoilt.
#pragma once

#include "qxsim/model/fpga/register_map.h"
#include "qxsim/trace/decode_group.h"

namespace qxsim {

struct FlashOperation : Group {
    enum Phase { SETUP, COMMANDED, DONE } phase = SETUP;
    bool cmd_failed = false;
    uint32_t cmd = 0;
    uint32_t addr = 0, length = 0, code = 0;  // the controller's at the command
    uint32_t fifo_words = 0;                  // words in the write FIFO at the command
    uint32_t words[3] = {};                   // the first three of them
    uint32_t busy_polls = 0;
    bool polled = false;
    bool last_busy = false;
    uint32_t status = 0;      // last status read with busy clear
    uint32_t error_bits = 0;  // error bits seen in any status read
    uint32_t cleared = 0;     // bits written to ASMI_STATUS
    bool wr_level_before = false, wr_level_after = false, rd_level_read = false;
    uint32_t wr_level_before_value = 0, wr_level_after_value = 0, rd_level = 0;
    uint32_t popped = 0;
    uint32_t pushed = 0;  // words this issuer pushed
    bool vulnerable = false;

    uint32_t op() const { return cmd & ~ASMI_IMAGE_DATA; }
    // The ID a finished READ ID read, or -1.
    int read_id() const;
};

class FlashAnalyser {
public:
    using Sink = GroupSink<FlashOperation>;

    explicit FlashAnalyser(Sink& sink) : sink_(sink) {}

    // The controller's registers but the reconfiguration register.
    static bool decodes(uint32_t reg) { return reg >= ASMI_CMD && reg <= ASMI_RD_FIFO_LEVEL && (reg & 3) == 0; }

    void access(int64_t issuer, const TraceRecord& rec, size_t index);
    // A power cut before `rec`: the issuer's operation is finished first
    // when `rec` would have begun the next one.
    void cut_before(int64_t issuer, const TraceRecord& rec);
    // The issuer's open operation ends as it stands; with `why`, failed for
    // that reason.
    void close_issuer(int64_t issuer, const char* why);
    void close_all();
    // The issuer's operation in progress, or null.
    const FlashOperation* open_operation(int64_t issuer)
    {
        const FlashOperation* f = issuers_.find(issuer);
        return f && f->open ? f : nullptr;
    }
    // The flash's ID as the last finished READ ID found it, 0 before one.
    uint32_t flash_id() const { return flash_id_; }

private:
    static bool begins_next(const FlashOperation& f, const TraceRecord& rec);
    void close(FlashOperation& f);
    void safe(FlashOperation& f);
    void write(FlashOperation& f, const TraceRecord& rec);
    void read(FlashOperation& f, const TraceRecord& rec);

    Sink& sink_;
    // What the controller holds, whoever wrote it.
    uint32_t addr_ = 0, length_ = 0, code_ = 0;
    uint32_t fifo_words_ = 0;
    uint32_t words_[3] = {};
    uint32_t flash_id_ = 0;
    Writers writers_;
    ByIssuer<FlashOperation> issuers_;
};

// The decoded text of a finished operation (the protect code's meaning for
// the part `flash_id` names); marks the operation failed where the text
// says so.
std::string flash_operation_text(FlashOperation& f, uint32_t flash_id);

}  // namespace qxsim
