// Trace decoding: one state machine per issuer and I2C master, one per
// issuer for the serial-flash controller, each closing its group when the
// issuer's accesses show that the transaction or operation is over.
#include "qxsim/trace/trace_decoder.h"

#include "qxsim/driver_abi.h"

#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/fpga/channel_regs.h"
#include "qxsim/model/devices/dac_chip.h"
#include "qxsim/model/flash/epcq_flash.h"
#include "qxsim/model/flash/fpga_boot.h"
#include "qxsim/model/fpga/fpga_status.h"
#include "qxsim/model/fpga/i2c_master.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/fpga/register_names.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace qxsim {

namespace {

// Proc-file lines all count as one issuer (see the header).
constexpr int64_t PROC_ISSUER = -1;

// The I2C master whose register block holds reg, or -1.
int master_of(uint32_t reg)
{
    if (reg < I2C_MAIN_BASE || reg > I2C_IOB_BASE + I2C_RD_DATA || (reg & 3))
        return -1;
    for (int m = 0; m < static_cast<int>(BUS_COUNT); m++)
        if (reg >= i2c_master_place(static_cast<Bus>(m)).base && reg <= i2c_master_place(static_cast<Bus>(m)).base + I2C_RD_DATA)
            return m;
    return -1;
}

bool is_asmi(uint32_t reg)
{
    return (reg >= ASMI_CMD && reg <= ASMI_RD_FIFO_LEVEL && (reg & 3) == 0) || reg == ASMI_RECONFIG;
}

// Name of a register for the notes of decoded lines.
std::string reg_label(uint32_t reg)
{
    const char* name = register_name(reg);
    return name ? std::string(name) : fmt::format("0x{:08x}", reg);
}

std::string busy_polls(uint32_t n)
{
    return fmt::format(", {} busy poll{}", n, n == 1 ? "" : "s");
}

std::string access_label(const TraceRecord& rec)
{
    return fmt::format("{} {}", rec.kind == TRACE_READ ? 'R' : 'W', reg_label(rec.reg));
}

// The EPCQ-L block protection a protect code sets.
std::string protect_meaning(uint32_t code, uint32_t sectors)
{
    std::string name = (code & 0xFF) == EPCQ_PROTECT_FACTORY ? "unlock, "
                       : (code & 0xFF) == EPCQ_PROTECT_ALL ? "lock, "
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

// Device meaning on the ISB bus, or "".
std::string isb_meaning(bool write, uint8_t dev, uint8_t reg, uint32_t data, unsigned width)
{
    if (write && (dev == DAC_U12_WIRING.addr || dev == DAC_U14_WIRING.addr || dev == DAC_GLOBAL_ADDRESS))
        return dac_write_meaning(dev, reg, static_cast<uint16_t>(data));
    if (!write && dev == IDENT_ADDR)
        return ident_read_meaning(reg, data, width);
    return "";
}

// ---- groups ----

struct Issuer;

// What every group shares: who, when, which records, and what went wrong.
struct Group {
    bool open = false;
    Issuer* owner = nullptr;
    int32_t pid = 0;
    uint64_t t0 = 0, t1 = 0;
    size_t first = 0, last = 0;
    uint32_t records = 0;
    bool failed = false;
    bool mixed = false;
    int32_t mixed_pid = 0;       // the first other process that wrote meanwhile
    uint32_t mixed_reg = 0;
    int32_t pids[3] = {};        // proc issuer: the processes of its lines
    uint32_t pid_count = 0;
    std::string notes;           // failed accesses, power cut

    // Call on a freshly reset group.
    void start(Issuer* who, const TraceRecord& rec, size_t index)
    {
        open = true;
        owner = who;
        pid = rec.pid;
        t0 = rec.time_ns;
        first = index;
    }
    void add(const TraceRecord& rec, size_t index)
    {
        t1 = rec.time_ns;
        last = index;
        records++;
        if (pid_count == 0 || pids[std::min<uint32_t>(pid_count, 3) - 1] != rec.pid) {
            if (pid_count < 3)
                pids[pid_count] = rec.pid;
            pid_count++;
        }
    }
    void note(const std::string& text)
    {
        notes += "; ";
        notes += text;
    }
};

struct I2cTxn : Group {
    enum Phase { PREWAIT, SETUP, COMMANDED, RESULT } phase = PREWAIT;
    uint32_t prewait_busy = 0;
    uint32_t busy_polls = 0;
    bool polled = false;          // a status read after the command
    bool last_busy = false;
    uint32_t status = 0;          // the status that ended busy
    bool commanded = false;
    bool wrote = false;           // has written a register: others' writes now mix it
    bool cmd_failed = false;
    uint32_t cmd = 0;
    uint32_t dev_reg = 0, dev_data = 0;
    bool setup_reg = false, setup_data = false;
    uint32_t setup_reg_value = 0;
    bool have_rd = false, have_ctl = false;
    uint32_t rd = 0, ctl = 0;
    bool via_proc = false;
    int master = 0;

    bool is_read() const { return (cmd & I2C_CONTROL_OP) == I2C_CMD_READ; }
    bool is_write() const { return (cmd & I2C_CONTROL_OP) == I2C_CMD_WRITE; }
};

struct FlashOp : Group {
    enum Phase { SETUP, COMMANDED, DONE } phase = SETUP;
    bool cmd_failed = false;
    uint32_t cmd = 0;
    uint32_t addr = 0, length = 0, code = 0;  // the controller's at the command
    uint32_t fifo_words = 0;                  // words in the write FIFO at the command
    uint32_t words[3] = {};                   // the first three of them
    uint32_t busy_polls = 0;
    bool polled = false;
    bool last_busy = false;
    uint32_t status = 0;          // last status read with busy clear
    uint32_t error_bits = 0;      // error bits seen in any status read
    uint32_t cleared = 0;         // bits written to ASMI_STATUS
    bool wr_level_before = false, wr_level_after = false, rd_level_read = false;
    uint32_t wr_level_before_value = 0, wr_level_after_value = 0, rd_level = 0;
    uint32_t popped = 0;
    uint32_t pushed = 0;          // words this issuer pushed
    bool vulnerable = false;

    uint32_t op() const { return cmd & ~ASMI_IMAGE_DATA; }
};

struct Issuer {
    int64_t key = 0;
    I2cTxn i2c[BUS_COUNT];
    FlashOp flash;
};

// A register block's shared state: what its registers hold and which open
// groups would be mixed by another issuer's write.
struct MasterState {
    uint32_t reg_addr = 0, wr_data = 0;
    std::vector<Group*> writers;  // open groups that have written
};

struct ControllerState {
    uint32_t addr = 0, length = 0, code = 0;
    uint32_t fifo_words = 0;
    uint32_t words[3] = {};
    uint32_t flash_id = 0;
    std::vector<Group*> writers;
};

void forget(std::vector<Group*>& writers, Group* g)
{
    auto it = std::find(writers.begin(), writers.end(), g);
    if (it != writers.end())
        writers.erase(it);
}

// Another issuer writes: every open group of someone else is mixed.
void touch(std::vector<Group*>& writers, Issuer* who, const TraceRecord& rec)
{
    for (Group* g : writers)
        if (g->owner != who && !g->mixed) {
            g->mixed = true;
            g->mixed_pid = rec.pid;
            g->mixed_reg = rec.reg;
        }
}

std::string pid_list(const Group& g)
{
    std::string s;
    for (uint32_t i = 0; i < std::min<uint32_t>(g.pid_count, 3); i++)
        s += fmt::format(i ? " {}" : "{}", g.pids[i]);
    if (g.pid_count > 3)
        s += " ...";
    return s;
}

}  // namespace

struct TraceDecoder::Impl {
    std::vector<DecodedEntry> entries;
    std::vector<std::unique_ptr<Issuer>> issuers;
    std::unordered_map<int64_t, Issuer*> by_key;
    Issuer* last_issuer = nullptr;
    MasterState masters[BUS_COUNT];
    ControllerState controller;
    size_t index = 0;

    Issuer* issuer(int64_t key)
    {
        if (last_issuer && last_issuer->key == key)
            return last_issuer;
        auto it = by_key.find(key);
        if (it != by_key.end())
            return last_issuer = it->second;
        issuers.push_back(std::make_unique<Issuer>());
        Issuer* s = issuers.back().get();
        s->key = key;
        by_key[key] = s;
        return last_issuer = s;
    }

    DecodedEntry& emit(DecodedKind kind, const char* block, const TraceRecord& rec)
    {
        entries.emplace_back();
        DecodedEntry& e = entries.back();
        e.kind = kind;
        e.block = block;
        e.pid = rec.pid;
        e.time_ns = e.end_ns = rec.time_ns;
        e.first = e.last = index;
        e.records = 1;
        return e;
    }

    DecodedEntry& emit_group(DecodedKind kind, const char* block, const Group& g, std::string text)
    {
        entries.emplace_back();
        DecodedEntry& e = entries.back();
        e.kind = kind;
        e.block = block;
        e.pid = g.pid;
        e.time_ns = g.t0;
        e.end_ns = g.t1;
        e.first = g.first;
        e.last = g.last;
        e.records = g.records;
        e.failed = g.failed;
        e.mixed = g.mixed;
        e.text = std::move(text);
        e.text += g.notes;
        if (g.mixed)
            e.text += fmt::format(" [mixed: pid {} wrote {}]", g.mixed_pid, reg_label(g.mixed_reg));
        return e;
    }

    // ---- I2C ----

    void close_i2c(I2cTxn& t)
    {
        if (!t.open)
            return;
        forget(masters[t.master].writers, &t);
        std::string text;
        if (!t.commanded || t.cmd_failed) {
            if (t.setup_reg || t.setup_data || t.cmd_failed) {
                text = t.cmd_failed ? "command not written" : "no command";
                if (t.setup_reg)
                    text += fmt::format(", reg 0x{:02x} set", t.setup_reg_value);
            } else {
                text = "wait for idle";
            }
            if (t.prewait_busy)
                text += busy_polls(t.prewait_busy);
            if (t.last_busy) {
                text += ", never idle";
                t.failed = true;
            }
        } else {
            uint32_t dev = t.cmd >> 12;
            std::string head;
            if (t.is_read())
                head = fmt::format("read dev 0x{:02x} reg 0x{:02x}", dev, t.dev_reg & 0xFF);
            else if (t.is_write())
                head = fmt::format("write dev 0x{:02x} reg 0x{:02x} data 0x{:04x}", dev, t.dev_reg & 0xFF,
                                   t.dev_data & 0xFFFF);
            else
                head = fmt::format("command 0x{:x} (unknown) dev 0x{:02x} reg 0x{:02x}", t.cmd, dev, t.dev_reg & 0xFF);
            unsigned width = 0;
            uint32_t data = 0;
            if (t.is_read() && t.have_rd) {
                width = !t.have_ctl ? 32 : (t.ctl & I2C_CONTROL_WIDTH_32) ? 32 : (t.ctl & I2C_CONTROL_WIDTH_16) ? 16 : 8;
                data = width == 32 ? t.rd : t.rd & ((1u << width) - 1);
                head += fmt::format(" -> 0x{:0{}x}", data, width / 4);
                head += t.have_ctl ? fmt::format(" ({} bit)", width) : std::string(" (width not read)");
            }
            std::string outcome;
            if (!t.polled) {
                outcome = "result not read";
            } else if (t.last_busy) {
                outcome = fmt::format("still busy after {} polls", t.busy_polls);
                t.failed = true;
            } else if (t.status & I2C_STATUS_ERROR) {
                outcome = fmt::format("no ack (error bit, status 0x{:08x})", t.status);
                t.failed = true;
            } else {
                outcome = "ack";
                if (t.is_read() && !t.have_rd)
                    outcome += ", data not read";
            }
            text = head + ", " + outcome;
            if (t.busy_polls && !t.last_busy)
                text += busy_polls(t.busy_polls);
            if (t.prewait_busy)
                text += busy_polls(t.prewait_busy) + " waiting for idle";
            if (t.master == static_cast<int>(BUS_ISB)) {
                std::string meaning;
                if (t.is_write())
                    meaning = isb_meaning(true, static_cast<uint8_t>(dev), static_cast<uint8_t>(t.dev_reg),
                                          t.dev_data & 0xFFFF, 16);
                else if (t.is_read() && t.have_rd && !(t.status & I2C_STATUS_ERROR))
                    meaning = isb_meaning(false, static_cast<uint8_t>(dev), static_cast<uint8_t>(t.dev_reg), data, width);
                if (!meaning.empty())
                    text += " [" + meaning + "]";
            }
        }
        if (t.via_proc)
            text += fmt::format(" (proc lines of pid {})", pid_list(t));
        emit_group(DECODED_I2C, i2c_master_place(static_cast<Bus>(t.master)).name, t, std::move(text));
        t.open = false;
    }

    void i2c_access(Issuer* who, int m, const TraceRecord& rec)
    {
        I2cTxn& t = who->i2c[m];
        MasterState& ms = masters[m];
        uint32_t off = rec.reg - i2c_master_place(static_cast<Bus>(m)).base;
        bool write = rec.kind != TRACE_READ;
        bool ok = rec.error == 0;

        // Where this access falls: in the open transaction, or does it
        // begin the issuer's next one? Any write after the command, or a
        // status read once the result is in, starts the next.
        if (t.open && ((write && t.phase >= I2cTxn::COMMANDED) || (!write && off == I2C_STATUS && t.phase == I2cTxn::RESULT)))
            close_i2c(t);
        if (!t.open) {
            t = I2cTxn();
            t.start(who, rec, index);
            t.master = m;
            if (write)
                t.phase = I2cTxn::SETUP;
            else
                t.phase = off == I2C_STATUS ? I2cTxn::PREWAIT : I2cTxn::RESULT;
        }
        t.add(rec, index);
        if (rec.kind == TRACE_PROC)
            t.via_proc = true;
        if (!ok) {
            t.note(fmt::format("E{} at {}", rec.error, access_label(rec)));
            t.failed = true;
        }
        if (write) {
            touch(ms.writers, who, rec);
            if (!t.wrote) {
                t.wrote = true;
                ms.writers.push_back(&t);
            }
            switch (off) {
            case I2C_REG_ADDR:
                if (ok) {
                    ms.reg_addr = rec.value;
                    t.setup_reg = true;
                    t.setup_reg_value = rec.value;
                }
                if (t.phase == I2cTxn::PREWAIT)
                    t.phase = I2cTxn::SETUP;
                break;
            case I2C_WR_DATA:
                if (ok) {
                    ms.wr_data = rec.value;
                    t.setup_data = true;
                }
                if (t.phase == I2cTxn::PREWAIT)
                    t.phase = I2cTxn::SETUP;
                break;
            case I2C_CONTROL:
                t.commanded = true;
                t.cmd = rec.value;
                t.cmd_failed = !ok;
                t.dev_reg = ms.reg_addr;
                t.dev_data = ms.wr_data;
                t.phase = I2cTxn::COMMANDED;
                if (!ok)
                    close_i2c(t);  // nothing started on the bus
                else if (who->key == PROC_ISSUER)
                    forget(ms.writers, &t);  // blind: no result to be spoilt
                break;
            default:
                t.note(fmt::format("{} written 0x{:x}", reg_label(rec.reg), rec.value));
                break;
            }
            return;
        }
        switch (off) {
        case I2C_STATUS:
            if (!ok)
                break;
            if (t.phase == I2cTxn::PREWAIT || t.phase == I2cTxn::SETUP) {
                t.last_busy = (rec.value & I2C_STATUS_BUSY) != 0;
                if (t.last_busy)
                    t.prewait_busy++;
            } else if (t.phase == I2cTxn::COMMANDED) {
                t.polled = true;
                t.last_busy = (rec.value & I2C_STATUS_BUSY) != 0;
                if (t.last_busy) {
                    t.busy_polls++;
                } else {
                    t.status = rec.value;
                    t.phase = I2cTxn::RESULT;
                    // A write is over when busy ends; a read once its data is collected.
                    if (!t.is_read())
                        close_i2c(t);
                }
            }
            break;
        case I2C_RD_DATA:
            if (ok) {
                t.have_rd = true;
                t.rd = rec.value;
            }
            break;
        case I2C_CONTROL:
            if (ok) {
                t.have_ctl = true;
                t.ctl = rec.value;
            }
            if (t.phase == I2cTxn::RESULT && t.commanded)
                close_i2c(t);
            break;
        default:
            break;
        }
    }

    // ---- serial-flash controller ----

    std::string flash_text(FlashOp& f)
    {
        std::string text;
        uint32_t words = (f.length + 3) / 4;
        uint32_t op = f.op();
        bool image = (f.cmd & ASMI_IMAGE_DATA) != 0;
        if (f.phase == FlashOp::SETUP) {
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
        } else if (op == ASMI_4BYTE_MODE) {
            text = "4-byte addressing";
        } else if (op == ASMI_READ_ID) {
            uint32_t id = field_value(f.status, ASMI_STATUS_ID);
            text = f.polled && !f.last_busy ? fmt::format("read ID -> 0x{:02x} {}", id, epcq_part(id) ? epcq_part(id)->name : "unknown part") : "read ID";
            if (f.polled && !f.last_busy)
                controller.flash_id = id;
        } else if (op == ASMI_PROTECT) {
            text = fmt::format("protect code 0x{:02x}: {}", f.code,
                               protect_meaning(f.code, epcq_capacity(static_cast<uint8_t>(controller.flash_id)) / EPCQ_SECTOR_SIZE));
        } else if (op == ASMI_SECTOR_ERASE) {
            text = fmt::format("erase sector {} at 0x{:08x}", f.addr / EPCQ_SECTOR_SIZE, f.addr);
            if (f.addr % EPCQ_SECTOR_SIZE)
                text += " (inside the sector)";
        } else if (op == ASMI_WRITE && f.addr == OFFSET_RECORD_ADDR && f.length == 12) {
            text = fmt::format("program offset record at 0x{:08x}: 0x{:08x} 0x{:08x} 0x{:08x}", f.addr, f.words[0],
                               f.words[1], f.words[2]);
            bool valid = FpgaBoot::record_valid(f.words);
            text += valid ? fmt::format(" (application image at 0x{:08x})", f.words[0]) : std::string(" (not valid)");
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
        // How it ended.
        if (f.phase != FlashOp::SETUP && !f.cmd_failed && f.cmd != ASMI_CLEAR && f.cmd != 0) {
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
        if (f.owner && f.owner->key == PROC_ISSUER)
            text += fmt::format(" (proc lines of pid {})", pid_list(f));
        return text;
    }

    void close_flash(FlashOp& f)
    {
        if (!f.open)
            return;
        forget(controller.writers, &f);
        std::string text = flash_text(f);
        emit_group(DECODED_FLASH, "flash", f, std::move(text));
        f.open = false;
    }

    void not_vulnerable(FlashOp& f)
    {
        if (f.vulnerable) {
            f.vulnerable = false;
            forget(controller.writers, &f);
        }
    }

    void flash_access(Issuer* who, const TraceRecord& rec)
    {
        FlashOp& f = who->flash;
        ControllerState& cs = controller;
        bool write = rec.kind != TRACE_READ;
        bool ok = rec.error == 0;
        bool setup = write && (rec.reg == ASMI_ADDR || rec.reg == ASMI_LENGTH || rec.reg == ASMI_PROTECT_CODE ||
                               rec.reg == ASMI_WR_FIFO);
        bool command = write && rec.reg == ASMI_CMD;

        if (f.open && f.phase != FlashOp::SETUP) {
            // CMD 0 right after the clear belongs to it.
            bool clear_tail = command && rec.value == 0 && f.cmd == ASMI_CLEAR;
            if ((setup || command) && !clear_tail)
                close_flash(f);
        }
        if (!f.open) {
            f = FlashOp();
            f.start(who, rec, index);
        }
        f.add(rec, index);
        if (!ok) {
            f.note(fmt::format("E{} at {}", rec.error, access_label(rec)));
            f.failed = true;
        }
        if (write) {
            touch(cs.writers, who, rec);
            if (!f.vulnerable && !(command && rec.value == 0 && f.cmd == ASMI_CLEAR)) {
                f.vulnerable = true;
                cs.writers.push_back(&f);
            }
            if (!ok) {
                if (command) {
                    f.cmd_failed = true;
                    f.phase = FlashOp::COMMANDED;
                }
                return;
            }
            switch (rec.reg) {
            case ASMI_ADDR: cs.addr = rec.value; break;
            case ASMI_LENGTH: cs.length = rec.value; break;
            case ASMI_PROTECT_CODE: cs.code = rec.value; break;
            case ASMI_WR_FIFO:
                f.pushed++;
                if (cs.fifo_words < 3)
                    cs.words[cs.fifo_words] = rec.value;
                cs.fifo_words++;
                break;
            case ASMI_STATUS:
                f.cleared |= rec.value;
                break;
            case ASMI_CMD:
                if (f.phase != FlashOp::SETUP && f.cmd == ASMI_CLEAR && rec.value == 0)
                    break;
                f.cmd = rec.value;
                f.addr = cs.addr;
                f.length = cs.length;
                f.code = cs.code;
                f.fifo_words = cs.fifo_words;
                std::memcpy(f.words, cs.words, sizeof f.words);
                f.phase = FlashOp::COMMANDED;
                if ((rec.value & ~ASMI_IMAGE_DATA) == ASMI_WRITE || rec.value == ASMI_CLEAR)
                    cs.fifo_words = 0;
                if (rec.value == ASMI_CLEAR)
                    not_vulnerable(f);
                break;
            default:
                break;
            }
            return;
        }
        if (!ok)
            return;
        switch (rec.reg) {
        case ASMI_STATUS:
            if (f.phase == FlashOp::SETUP)
                break;
            f.polled = true;
            f.last_busy = (rec.value & ASMI_STATUS_BUSY) != 0;
            f.error_bits |= rec.value & (ASMI_STATUS_ERASE_ERR | ASMI_STATUS_WRITE_ERR);
            if (f.last_busy) {
                f.busy_polls++;
            } else {
                f.status = rec.value;
                if (f.phase == FlashOp::COMMANDED) {
                    f.phase = FlashOp::DONE;
                    if (f.op() != ASMI_READ)
                        not_vulnerable(f);
                }
            }
            break;
        case ASMI_WR_FIFO_LEVEL:
            if (f.phase == FlashOp::SETUP) {
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
            touch(cs.writers, who, rec);  // a pop changes the FIFO
            f.popped++;
            if (f.op() == ASMI_READ && f.popped >= (f.length + 3) / 4)
                not_vulnerable(f);
            break;
        default:
            break;
        }
    }

    // ---- everything else ----

    void close_all(Issuer* who, const char* why)
    {
        for (I2cTxn& t : who->i2c)
            if (t.open) {
                if (why) {
                    t.note(why);
                    t.failed = true;
                }
                close_i2c(t);
            }
        if (who->flash.open) {
            if (why) {
                who->flash.note(why);
                who->flash.failed = true;
            }
            close_flash(who->flash);
        }
    }

    void plain_register(const TraceRecord& rec, bool via_proc)
    {
        const char* block = via_proc ? "proc" : rec.reg <= FPGA_STATUS ? "fpga" : "reg";
        DecodedEntry& e = emit(via_proc ? DECODED_PROC : DECODED_REGISTER, block, rec);
        std::string name = reg_label(rec.reg);
        if (rec.error) {
            e.failed = true;
            e.text = fmt::format("{} {} failed E{}", rec.kind == TRACE_READ ? "read" : "write", name, rec.error);
            return;
        }
        if (via_proc)
            e.text = std::string(rec.text) + ": " + name + fmt::format(" = 0x{:08x}", rec.value);
        else if (rec.kind == TRACE_READ)
            e.text = fmt::format("read {} -> 0x{:08x}", name, rec.value);
        else
            e.text = fmt::format("write {} = 0x{:08x}", name, rec.value);
        if (rec.reg == FPGA_STATUS && rec.kind == TRACE_READ)
            e.text += (rec.value & FPGA_STATUS_I2C_ENABLED) ? " (I2C bus enabled)" : " (I2C bus disabled)";
        if (rec.reg == CLPOUT_CTRL && rec.kind != TRACE_READ)
            e.text += fmt::format(" (clamp output {}, width {}, offset {})",
                                  (rec.value & CLPOUT_CTRL_ENABLE) ? "on" : "off",
                                  field_value(rec.value, CLPOUT_CTRL_WIDTH), field_value(rec.value, CLPOUT_CTRL_OFFSET));
        if (rec.reg >= CHL_MASK_BL && rec.reg <= CHL_MASK_TR && rec.kind != TRACE_READ) {
            uint32_t on = 0;
            for (uint32_t v = rec.value & CHL_MASK_CHANNELS; v; v &= v - 1)
                on++;
            e.text += fmt::format(" ({} of {} channels on)", on, CHL_GROUP_CHANNELS);
        }
    }

    void feed(const TraceRecord& rec)
    {
        switch (rec.kind) {
        case TRACE_OPEN:
        case TRACE_CLOSE: {
            bool proc = rec.text == PROC_PATH;
            DecodedEntry& e = emit(rec.kind == TRACE_OPEN ? DECODED_OPEN : DECODED_CLOSE, proc ? "proc" : "dev", rec);
            e.text = fmt::format("{} {}", rec.kind == TRACE_OPEN ? "open" : "close", rec.text);
            if (rec.error) {
                e.text += fmt::format(" failed E{}", rec.error);
                e.failed = true;
            }
            if (rec.kind == TRACE_CLOSE) {
                auto it = by_key.find(rec.pid);
                if (it != by_key.end())
                    close_all(it->second, nullptr);
            }
            break;
        }
        case TRACE_READ:
        case TRACE_WRITE:
        case TRACE_PROC: {
            bool proc = rec.kind == TRACE_PROC;
            if (rec.killed) {
                Issuer* who = issuer(proc ? PROC_ISSUER : rec.pid);
                close_all(who, "power cut");
                DecodedEntry& e = emit(DECODED_POWER_CUT, "power", rec);
                e.text = fmt::format("power cut before {} {}, process killed", proc ? "proc line to" : rec.kind == TRACE_READ ? "R" : "W",
                                     reg_label(rec.reg));
                e.failed = true;
                break;
            }
            if (proc && rec.refused) {
                DecodedEntry& e = emit(DECODED_PROC, "proc", rec);
                e.text = fmt::format("refused: {}", rec.text);
                e.failed = true;
                break;
            }
            int m = master_of(rec.reg);
            if (m >= 0) {
                i2c_access(issuer(proc ? PROC_ISSUER : rec.pid), m, rec);
            } else if (rec.reg == ASMI_RECONFIG) {
                Issuer* who = issuer(proc ? PROC_ISSUER : rec.pid);
                if (who->flash.open)
                    close_flash(who->flash);
                if (rec.kind == TRACE_READ) {
                    plain_register(rec, proc);
                    break;
                }
                DecodedEntry& e = emit(DECODED_RECONFIG, "fpga", rec);
                if (rec.error) {
                    e.text = fmt::format("write ASMI_RECONFIG failed E{}", rec.error);
                    e.failed = true;
                } else {
                    e.text = (rec.value & ASMI_RECONFIG_START)
                                 ? fmt::format("reconfiguration from flash (ASMI_RECONFIG 0x{:x})", rec.value)
                                 : fmt::format("write ASMI_RECONFIG = 0x{:x} (no reconfiguration)", rec.value);
                }
            } else if (is_asmi(rec.reg)) {
                flash_access(issuer(proc ? PROC_ISSUER : rec.pid), rec);
            } else {
                plain_register(rec, proc);
            }
            break;
        }
        default:
            break;
        }
        index++;
    }

    void finish()
    {
        for (auto& s : issuers)
            close_all(s.get(), nullptr);
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
    e.text = fmt::format("unreadable line {}: {}", impl_->index + 1, line);
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
