#include "qxsim/trace/flash_analyser.h"

#include "qxsim/model/flash/epcq_parts.h"
#include "qxsim/model/flash/fpga_boot.h"

#include <fmt/format.h>

#include <cstring>

namespace qxsim {

namespace {

// The block protection a protect code sets on a part of `sectors` sectors.
std::string protect_meaning(uint32_t code, uint32_t sectors)
{
    std::string name = (code & 0xFF) == EPCQ_PROTECT_FACTORY ? "unlock, "
                       : (code & 0xFF) == EPCQ_PROTECT_ALL   ? "lock, "
                                                             : "";
    ProtectedRange r = epcq_protected_range(static_cast<uint8_t>(code), sectors);
    if (r.sectors == 0)
        return name + "nothing protected";
    if (r.sectors >= sectors)
        return name + "whole chip protected";
    uint32_t first = r.first_sector, n = r.sectors;
    return fmt::format("{}sectors {}..{} protected (0x{:07x}..0x{:07x})", name, first, first + n - 1,
                       first * EPCQ_SECTOR_SIZE, (first + n) * EPCQ_SECTOR_SIZE - 1);
}

// What the operation was: the command with its address, length or code.
std::string what_it_was(FlashOperation& f, uint32_t flash_id)
{
    const uint32_t words = (f.length + 3) / 4;
    const uint32_t op = f.op();
    const bool image = (f.cmd & ASMI_IMAGE_DATA) != 0;
    std::string text;
    if (op == ASMI_4BYTE_MODE) {
        text = "4-byte addressing";
    } else if (op == ASMI_READ_ID) {
        int id = f.read_id();
        const EpcqPart* part = id < 0 ? nullptr : epcq_part(static_cast<uint8_t>(id));
        text = id < 0 ? "read ID" : fmt::format("read ID -> 0x{:02x} {}", id, part ? part->name : "unknown part");
    } else if (op == ASMI_PROTECT) {
        text = fmt::format("protect code 0x{:02x}: {}", f.code,
                           protect_meaning(f.code, epcq_capacity(static_cast<uint8_t>(flash_id)) / EPCQ_SECTOR_SIZE));
    } else if (op == ASMI_SECTOR_ERASE) {
        text = fmt::format("erase sector {} at 0x{:08x}", f.addr / EPCQ_SECTOR_SIZE, f.addr);
        if (f.addr % EPCQ_SECTOR_SIZE)
            text += " (inside the sector)";
    } else if (op == ASMI_WRITE && f.addr == OFFSET_RECORD_ADDR && f.length == 12) {
        text = fmt::format("program offset record at 0x{:08x}: 0x{:08x} 0x{:08x} 0x{:08x}", f.addr, f.words[0],
                           f.words[1], f.words[2]);
        text += FpgaBoot::record_valid(f.words) ? fmt::format(" (application image at 0x{:08x})", f.words[0])
                                                : std::string(" (not valid)");
        if (image)
            text += " (image data flag)";
    } else if (op == ASMI_WRITE) {
        text = fmt::format("program {} bytes at 0x{:08x}{}", f.length, f.addr, image ? " (image data)" : "");
        if (f.fifo_words < words)
            text += fmt::format(", only {} of {} words in the FIFO", f.fifo_words, words);
    } else if (op == ASMI_READ) {
        text = fmt::format("read {} bytes at 0x{:08x}{}", f.length, f.addr, image ? " (image data)" : "");
        if (f.popped != words)
            text += fmt::format(", {} of {} words popped", f.popped, words);
    } else {
        text = fmt::format("command 0x{:x} (unknown)", f.cmd);
    }
    return text;
}

// How a command ended: error bits, polls.
std::string how_it_ended(FlashOperation& f)
{
    std::string text;
    if (f.error_bits & ASMI_STATUS_ERASE_ERR) {
        text += ", erase error";
        f.failed = true;
    }
    if (f.error_bits & ASMI_STATUS_WRITE_ERR) {
        text += ", write error";
        f.failed = true;
    }
    if (f.error_bits)
        text += fmt::format(" (status 0x{:08x})", f.status);
    if (!f.polled) {
        text += ", completion not polled";
    } else if (f.last_busy && !f.error_bits) {
        text += fmt::format(", still busy after {} polls", f.busy_polls);
        f.failed = true;
    } else if (f.busy_polls) {
        text += busy_polls(f.busy_polls);
    }
    return text;
}

}  // namespace

int FlashOperation::read_id() const
{
    if (phase == SETUP || cmd_failed || op() != ASMI_READ_ID || !polled || last_busy)
        return -1;
    return static_cast<int>(field_value(status, ASMI_STATUS_ID));
}

void FlashAnalyser::close(FlashOperation& f)
{
    if (!f.open)
        return;
    writers_.forget(&f);
    if (f.read_id() >= 0)
        flash_id_ = static_cast<uint32_t>(f.read_id());
    sink_.finished(f);
    f.open = false;
}

void FlashAnalyser::close_issuer(int64_t issuer, const char* why)
{
    FlashOperation* f = issuers_.find(issuer);
    if (!f || !f->open)
        return;
    if (why) {
        f->note(why);
        f->failed = true;
    }
    close(*f);
}

void FlashAnalyser::close_all()
{
    for (const auto& f : issuers_.all())
        close(*f);
}

// Its result is in: another issuer's writes no longer spoil it.
void FlashAnalyser::safe(FlashOperation& f)
{
    if (f.vulnerable) {
        f.vulnerable = false;
        writers_.forget(&f);
    }
}

// A set-up write or a command once the operation's command is written
// starts the next (but command 0 right after a clear belongs to it).
bool FlashAnalyser::begins_next(const FlashOperation& f, const TraceRecord& rec)
{
    const bool is_write = rec.kind != TRACE_READ;
    const bool setup = is_write && (rec.reg == ASMI_ADDR || rec.reg == ASMI_LENGTH || rec.reg == ASMI_PROTECT_CODE ||
                                    rec.reg == ASMI_WR_FIFO);
    const bool command = is_write && rec.reg == ASMI_CMD;
    const bool clear_tail = command && rec.value == 0 && f.cmd == ASMI_CLEAR;
    return f.open && f.phase != FlashOperation::SETUP && (setup || command) && !clear_tail;
}

void FlashAnalyser::cut_before(int64_t issuer, const TraceRecord& rec)
{
    FlashOperation* f = issuers_.find(issuer);
    if (f && begins_next(*f, rec))
        close(*f);
}

void FlashAnalyser::access(int64_t issuer, const TraceRecord& rec, size_t index)
{
    FlashOperation& f = issuers_.get(issuer);
    const bool is_write = rec.kind != TRACE_READ;
    if (begins_next(f, rec))
        close(f);
    if (!f.open) {
        f = FlashOperation();
        f.start(issuer, rec, index);
    }
    f.add(rec, index);
    if (rec.error)
        f.failed_access(rec);
    if (is_write)
        write(f, rec);
    else if (!rec.error)
        read(f, rec);
}

void FlashAnalyser::write(FlashOperation& f, const TraceRecord& rec)
{
    const bool command = rec.reg == ASMI_CMD;
    writers_.touch(f.issuer, rec);
    if (!f.vulnerable && !(command && rec.value == 0 && f.cmd == ASMI_CLEAR)) {
        f.vulnerable = true;
        writers_.add(&f);
    }
    if (rec.error) {
        if (command) {
            f.cmd_failed = true;
            f.phase = FlashOperation::COMMANDED;
        }
        return;
    }
    switch (rec.reg) {
    case ASMI_ADDR: addr_ = rec.value; break;
    case ASMI_LENGTH: length_ = rec.value; break;
    case ASMI_PROTECT_CODE: code_ = rec.value; break;
    case ASMI_WR_FIFO:
        f.pushed++;
        if (fifo_words_ < 3)
            words_[fifo_words_] = rec.value;
        fifo_words_++;
        break;
    case ASMI_STATUS: f.cleared |= rec.value; break;
    case ASMI_CMD:
        if (f.phase != FlashOperation::SETUP && f.cmd == ASMI_CLEAR && rec.value == 0)
            break;
        f.cmd = rec.value;
        f.addr = addr_;
        f.length = length_;
        f.code = code_;
        f.fifo_words = fifo_words_;
        std::memcpy(f.words, words_, sizeof f.words);
        f.phase = FlashOperation::COMMANDED;
        if (f.op() == ASMI_WRITE || rec.value == ASMI_CLEAR)
            fifo_words_ = 0;
        if (rec.value == ASMI_CLEAR)
            safe(f);
        break;
    default: break;
    }
}

void FlashAnalyser::read(FlashOperation& f, const TraceRecord& rec)
{
    switch (rec.reg) {
    case ASMI_STATUS:
        if (f.phase == FlashOperation::SETUP)
            break;
        f.polled = true;
        f.last_busy = (rec.value & ASMI_STATUS_BUSY) != 0;
        f.error_bits |= rec.value & ASMI_STATUS_ERRORS;
        if (f.last_busy) {
            f.busy_polls++;
        } else {
            f.status = rec.value;
            if (f.phase == FlashOperation::COMMANDED) {
                f.phase = FlashOperation::DONE;
                if (f.op() != ASMI_READ)
                    safe(f);
            }
        }
        break;
    case ASMI_WR_FIFO_LEVEL:
        if (f.phase == FlashOperation::SETUP) {
            f.wr_level_before = true;
            f.wr_level_before_value = rec.value;
        } else {
            f.wr_level_after = true;
            f.wr_level_after_value = rec.value;
        }
        break;
    case ASMI_RD_FIFO_LEVEL:
        f.rd_level_read = true;
        f.rd_level = rec.value;
        break;
    case ASMI_RD_FIFO:
        writers_.touch(f.issuer, rec);  // a pop changes the FIFO
        f.popped++;
        if (f.op() == ASMI_READ && f.popped >= (f.length + 3) / 4)
            safe(f);
        break;
    default: break;
    }
}

std::string flash_operation_text(FlashOperation& f, uint32_t flash_id)
{
    const uint32_t words = (f.length + 3) / 4;
    const uint32_t op = f.op();
    std::string text;
    if (f.phase == FlashOperation::SETUP) {
        text = "no command";
        if (f.pushed)
            text += fmt::format(", {} word{} pushed", f.pushed, f.pushed == 1 ? "" : "s");
    } else if (f.cmd_failed) {
        text = "command not written";
        f.failed = true;
    } else if (f.cmd == ASMI_CLEAR) {
        text = "clear FIFOs";
    } else if (f.cmd == 0) {
        text = "command 0 (no operation)";
    } else {
        text = what_it_was(f, flash_id);
        text += how_it_ended(f);
    }
    if (f.cleared)
        text += fmt::format(", error bits 0x{:x} cleared", f.cleared);
    if (f.wr_level_before && op == ASMI_WRITE && f.wr_level_before_value != f.fifo_words)
        text += fmt::format(", write FIFO level read {} for {} words", f.wr_level_before_value, f.fifo_words);
    else if (f.wr_level_before && op != ASMI_WRITE && f.wr_level_before_value)
        text += fmt::format(", write FIFO level {}", f.wr_level_before_value);
    if (f.wr_level_after && f.wr_level_after_value)
        text += fmt::format(", write FIFO level {} after", f.wr_level_after_value);
    if (f.rd_level_read && op == ASMI_READ && f.rd_level != words)
        text += fmt::format(", read FIFO level {} for {} words", f.rd_level, words);
    else if (f.rd_level_read && op != ASMI_READ && f.rd_level)
        text += fmt::format(", read FIFO level {}", f.rd_level);
    text += f.proc_pids();
    return text;
}

}  // namespace qxsim
