// The trace decoder's core: it routes each record to the analyser of the
// hardware block it reaches (i2c_analyser.*, flash_analyser.*), lists opens,
// closes, proc lines, power cuts and every other register access on their
// own, and turns the analysers' finished groups into entries.
#include "qxsim/trace/trace_decoder.h"

#include "qxsim/driver_abi.h"
#include "qxsim/model/flash/epcq_parts.h"
#include "qxsim/model/fpga/register_map.h"
#include "qxsim/model/fpga/register_names.h"
#include "qxsim/trace/flash_analyser.h"
#include "qxsim/trace/i2c_analyser.h"

#include <fmt/format.h>

#include <algorithm>

namespace qxsim {

struct TraceDecoder::Impl : I2cAnalyser::Sink, FlashAnalyser::Sink {
    std::vector<DecodedEntry> entries;
    I2cAnalyser i2c{*this};
    FlashAnalyser flash{*this};
    size_t index = 0;
    int32_t last_pid = 0;  // of the last access, and its issuer
    int64_t last_issuer = 0;

    DecodedEntry& emit(DecodedKind kind, const char* block, const TraceRecord& rec)
    {
        entries.push_back({kind, rec.pid, rec.time_ns, rec.time_ns, index, index, 1, false, false, block, {}});
        return entries.back();
    }

    void emit_group(DecodedKind kind, const char* block, const Group& g, std::string text)
    {
        text += g.notes;
        if (g.mixed)
            text += fmt::format(" [mixed: pid {} wrote {}]", g.mixed_pid, reg_label(g.mixed_reg));
        entries.push_back(
            {kind, g.pid, g.t0, g.t1, g.first, g.last, g.records, g.failed, g.mixed, block, std::move(text)});
    }

    void finished(I2cTransaction& t) override
    {
        std::string text = i2c_transaction_text(t);
        emit_group(DECODED_I2C, i2c_master_place(t.bus).name, t, std::move(text));
    }

    void finished(FlashOperation& f) override
    {
        std::string text = flash_operation_text(f, flash.flash_id());
        emit_group(DECODED_FLASH, "flash", f, std::move(text));
    }

    void close_issuer(int64_t issuer, const char* why)
    {
        i2c.close_issuer(issuer, why);
        flash.close_issuer(issuer, why);
    }

    // A register access of no analyser, with what its block makes of it.
    void plain_register(const TraceRecord& rec)
    {
        const bool proc = rec.kind == TRACE_PROC;
        const char* block = proc ? "proc" : rec.reg <= FPGA_STATUS ? "fpga" : "reg";
        DecodedEntry& e = emit(proc ? DECODED_PROC : DECODED_REGISTER, block, rec);
        std::string name = reg_label(rec.reg);
        if (rec.error) {
            e.failed = true;
            e.text = fmt::format("{} {} failed E{}", rec.kind == TRACE_READ ? "read" : "write", name, rec.error);
            return;
        }
        if (proc)
            e.text = fmt::format("{}: {} = 0x{:08x}", rec.text, name, rec.value);
        else if (rec.kind == TRACE_READ)
            e.text = fmt::format("read {} -> 0x{:08x}", name, rec.value);
        else
            e.text = fmt::format("write {} = 0x{:08x}", name, rec.value);
        const NamedRegister* n = find_register(rec.reg);
        if (n && n->place->note)
            e.text += n->place->note(rec.reg, rec.value, rec.kind != TRACE_READ);
    }

    void reconfiguration(const TraceRecord& rec)
    {
        DecodedEntry& e = emit(DECODED_RECONFIG, "fpga", rec);
        if (rec.error) {
            e.text = fmt::format("write ASMI_RECONFIG failed E{}", rec.error);
            e.failed = true;
        } else if (rec.value & ASMI_RECONFIG_START) {
            e.text = fmt::format("reconfiguration from flash (ASMI_RECONFIG 0x{:x})", rec.value);
        } else {
            e.text = fmt::format("write ASMI_RECONFIG = 0x{:x} (no reconfiguration)", rec.value);
        }
    }

    void open_or_close(const TraceRecord& rec)
    {
        DecodedEntry& e =
            emit(rec.kind == TRACE_OPEN ? DECODED_OPEN : DECODED_CLOSE, rec.text == PROC_PATH ? "proc" : "dev", rec);
        e.text = fmt::format("{} {}", rec.kind == TRACE_OPEN ? "open" : "close", rec.text);
        if (rec.error) {
            e.text += fmt::format(" failed E{}", rec.error);
            e.failed = true;
        }
        if (rec.kind == TRACE_CLOSE)
            close_issuer(rec.pid, nullptr);
    }

    // The power went before `rec`: what `rec` would have begun is not the
    // operation in progress; what was in progress ends with the cut.
    void cut_before(int64_t issuer, const TraceRecord& rec)
    {
        if (int m = I2cAnalyser::master_of(rec.reg); m >= 0)
            i2c.cut_before(issuer, static_cast<Bus>(m), rec);
        else if (FlashAnalyser::decodes(rec.reg))
            flash.cut_before(issuer, rec);
        else if (rec.reg == ASMI_RECONFIG)
            flash.close_issuer(issuer, nullptr);
        close_issuer(issuer, "power cut");
    }

    // The power went inside the flash operation the issuer's access just
    // before started (the access's own line precedes this one).
    void cut_inside(const TraceRecord& rec)
    {
        const int64_t issuer = rec.pid == last_pid ? last_issuer : rec.pid;
        const bool erase = rec.text == "erase";
        std::string of;
        if (const FlashOperation* f = flash.open_operation(issuer))
            of = fmt::format(" of {}", erase ? EPCQ_SECTOR_SIZE : f->length);
        const std::string landed =
            fmt::format("the first {}{} bytes {}", rec.value, of, erase ? "erased" : "programmed");
        flash.close_issuer(issuer, ("power cut: " + landed).c_str());
        close_issuer(issuer, "power cut");
        DecodedEntry& e = emit(DECODED_POWER_CUT, "power", rec);
        e.text = fmt::format("power cut in the {} at 0x{:08x}: {}, process killed",
                             erase ? "sector erase" : "page program", rec.reg, landed);
        e.failed = true;
    }

    void access(const TraceRecord& rec)
    {
        const int64_t issuer = issuer_of(rec);
        if (rec.killed) {
            cut_before(issuer, rec);
            DecodedEntry& e = emit(DECODED_POWER_CUT, "power", rec);
            e.text = fmt::format("power cut before {} {}, process killed",
                                 rec.kind == TRACE_PROC   ? "proc line to"
                                 : rec.kind == TRACE_READ ? "R"
                                                          : "W",
                                 reg_label(rec.reg));
            e.failed = true;
        } else if (rec.kind == TRACE_PROC && rec.refused) {
            DecodedEntry& e = emit(DECODED_PROC, "proc", rec);
            e.text = fmt::format("refused: {}", rec.text);
            e.failed = true;
        } else if (int m = I2cAnalyser::master_of(rec.reg); m >= 0) {
            i2c.access(issuer, static_cast<Bus>(m), rec, index);
        } else if (FlashAnalyser::decodes(rec.reg)) {
            flash.access(issuer, rec, index);
        } else if (rec.reg == ASMI_RECONFIG) {
            flash.close_issuer(issuer, nullptr);
            if (rec.kind == TRACE_READ)
                plain_register(rec);
            else
                reconfiguration(rec);
        } else {
            plain_register(rec);
        }
    }

    // A recording's exit record (the process's open operations end with
    // it) and its end mark.
    void ended(const TraceRecord& rec)
    {
        DecodedEntry& e = emit(DECODED_EXIT, "exit", rec);
        const std::string how = rec.text == "exec"     ? "exec: another program in the process"
                                : rec.text == "signal" ? fmt::format("killed by signal {}", rec.value)
                                                       : fmt::format("exit status {}", rec.value);
        if (rec.kind == TRACE_END) {
            e.text = std::string("end of the recording: the recorded command") +
                     (rec.text == "signal" ? " was " : "'s ") + how;
        } else {
            e.text = how;
            close_issuer(rec.pid, nullptr);
        }
    }

    void feed(const TraceRecord& rec)
    {
        switch (rec.kind) {
        case TRACE_OPEN:
        case TRACE_CLOSE: open_or_close(rec); break;
        case TRACE_EXIT:
        case TRACE_END: ended(rec); break;
        case TRACE_READ:
        case TRACE_WRITE:
        case TRACE_PROC:
            access(rec);
            last_pid = rec.pid;
            last_issuer = issuer_of(rec);
            break;
        case TRACE_CUT: cut_inside(rec); break;
        default: break;
        }
        index++;
    }

    void finish()
    {
        i2c.close_all();
        flash.close_all();
    }
};

TraceDecoder::TraceDecoder() : impl_(std::make_unique<Impl>()) {}
TraceDecoder::~TraceDecoder() = default;

void TraceDecoder::feed(const TraceRecord& rec)
{
    impl_->feed(rec);
}

void TraceDecoder::feed_bad_line(std::string_view line)
{
    TraceRecord rec;
    DecodedEntry& e = impl_->emit(DECODED_BAD_LINE, "?", rec);
    e.failed = true;
    e.text = fmt::format("unreadable line {}: ", impl_->index + 1);
    // as much of it as a screen line holds, control bytes escaped
    const size_t SHOWN = 80;
    for (size_t i = 0; i < line.size() && i < SHOWN; i++) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c >= 0x7F)
            e.text += fmt::format("\\x{:02x}", c);
        else
            e.text += static_cast<char>(c);
    }
    if (line.size() > SHOWN)
        e.text += fmt::format("... ({} bytes)", line.size());
    impl_->index++;
}

void TraceDecoder::finish()
{
    impl_->finish();
}

std::vector<DecodedEntry> TraceDecoder::take()
{
    std::vector<DecodedEntry> out;
    out.swap(impl_->entries);
    std::stable_sort(out.begin(), out.end(),
                     [](const DecodedEntry& a, const DecodedEntry& b) { return a.first < b.first; });
    return out;
}

std::vector<DecodedEntry> decode_trace(const std::vector<TraceRecord>& records)
{
    TraceDecoder d;
    for (const TraceRecord& r : records)
        d.feed(r);
    d.finish();
    return d.take();
}

std::vector<DecodedEntry> decode_trace_text(std::string_view text)
{
    TraceDecoder d;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        if (*p == '\n') {
            p++;
            continue;
        }
        TraceRecord rec;
        bool ok;
        const char* next = parse_trace_buffer(p, end, &rec, &ok);
        if (ok) {
            d.feed(rec);
        } else {
            const char* eol = next < end || (next == end && end[-1] == '\n') ? next - 1 : end;
            d.feed_bad_line(std::string_view(p, static_cast<size_t>(eol - p)));
        }
        p = next;
    }
    d.finish();
    return d.take();
}

std::string format_decoded(const DecodedEntry& e)
{
    return fmt::format("{} {}.{:09} {:<8} {}", e.pid, e.time_ns / 1000000000u, e.time_ns % 1000000000u, e.block,
                       e.text);
}

void format_decoded(const std::vector<DecodedEntry>& entries, std::string* out)
{
    for (const DecodedEntry& e : entries) {
        *out += format_decoded(e);
        *out += '\n';
    }
}

}  // namespace qxsim
