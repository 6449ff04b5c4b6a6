// The waveform export: one pass over the trace collects value changes (the
// devices' view of the buses, the flash controller's registers as the
// accesses left them, the processes), the decoder supplies the flash
// operations' spans and, for a recording, the I2C transactions; then the
// changes are put in time order and written.
#include "qxsim/trace/vcd_export.h"

#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/fpga/asmi_state.h"
#include "qxsim/model/fpga/i2c_master.h"
#include "qxsim/trace/decoded_i2c.h"
#include "qxsim/trace/trace_decoder.h"
#include "qxsim/trace/trace_format.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace qxsim {

namespace {

// A quarter of the 400 kHz bit time: SDA changes a quarter into SCL's low
// half, SCL is low for two quarters and high for two.
constexpr uint64_t Q = 625;
// Bus free between a stop and the next start.
constexpr uint64_t BUS_FREE = 4 * Q;

enum Sig : uint16_t {
    MAIN_SCL, MAIN_SDA, MAIN_PID,
    ISB_SCL, ISB_SDA, ISB_PID,
    IOB_SCL, IOB_SDA, IOB_PID,
    FLASH_BUSY, FLASH_ERASE, FLASH_PROGRAM, FLASH_READ,
    FLASH_CMD, FLASH_ADDR, FLASH_LENGTH, FLASH_WR_LEVEL, FLASH_RD_LEVEL, FLASH_PID,
    SIG_COUNT
};

struct SigDef {
    const char* scope;
    const char* name;
    bool real;
    uint32_t initial;
};

// Scopes are the blocks, so that viewers list each block's signals together.
const SigDef SIGNALS[SIG_COUNT] = {
    {"i2c_main", "main_scl", false, 1}, {"i2c_main", "main_sda", false, 1}, {"i2c_main", "main_pid", true, 0},
    {"i2c_isb", "isb_scl", false, 1},   {"i2c_isb", "isb_sda", false, 1},   {"i2c_isb", "isb_pid", true, 0},
    {"i2c_iob", "iob_scl", false, 1},   {"i2c_iob", "iob_sda", false, 1},   {"i2c_iob", "iob_pid", true, 0},
    {"flash", "flash_busy", false, 0},  {"flash", "flash_erase", false, 0}, {"flash", "flash_program", false, 0},
    {"flash", "flash_read", false, 0},  {"flash", "flash_cmd", true, 0},    {"flash", "flash_addr", true, 0},
    {"flash", "flash_length", true, 0}, {"flash", "flash_wr_level", true, 0}, {"flash", "flash_rd_level", true, 0},
    {"flash", "flash_pid", true, 0},
};

const Sig BUS_SCL[3] = {MAIN_SCL, ISB_SCL, IOB_SCL};
const Sig BUS_PID[3] = {MAIN_PID, ISB_PID, IOB_PID};

struct Change {
    uint64_t t;
    uint32_t v;
    uint16_t sig;
};

enum NakAt : uint8_t { NAK_NONE, NAK_ADDRESS, NAK_REGISTER };

struct Txn {
    uint64_t t;
    I2cTransfer x;
    NakAt nak;
};

struct ControlWrite {
    size_t index;
    uint64_t t;
    uint8_t bus;
};

int master_of(uint32_t reg)
{
    for (int m = 0; m < 3; m++)
        if (reg >= i2c_master_place(static_cast<Bus>(m)).base && reg <= i2c_master_place(static_cast<Bus>(m)).base + I2C_RD_DATA)
            return m;
    return -1;
}

bool is_flash_register(uint32_t reg)
{
    return (reg >= ASMI_CMD && reg <= ASMI_RD_FIFO_LEVEL) || reg == ASMI_RECONFIG;
}

// SCL and SDA edges of one bus, from a time on.
struct Wire {
    std::vector<Change>& out;
    uint16_t scl, sda;
    uint64_t t;

    void put(uint16_t sig, uint64_t at, uint32_t v) { out.push_back({at, v, sig}); }
    void start()
    {
        put(sda, t, 0);
        put(scl, t + 2 * Q, 0);
        t += 2 * Q;
    }
    void bit(uint32_t b)
    {
        put(sda, t + Q, b);
        put(scl, t + 2 * Q, 1);
        put(scl, t + 4 * Q, 0);
        t += 4 * Q;
    }
    void byte(uint32_t v, bool ack)
    {
        for (int i = 7; i >= 0; i--)
            bit((v >> i) & 1);
        bit(ack ? 0 : 1);
    }
    void restart()
    {
        put(sda, t + Q, 1);
        put(scl, t + 2 * Q, 1);
        put(sda, t + 4 * Q, 0);
        put(scl, t + 6 * Q, 0);
        t += 6 * Q;
    }
    void stop()
    {
        put(sda, t + Q, 0);
        put(scl, t + 2 * Q, 1);
        put(sda, t + 4 * Q, 1);
        t += 4 * Q;
    }

    void transaction(const Txn& x)
    {
        const I2cTransfer& f = x.x;
        uint32_t addr = (static_cast<uint32_t>(f.dev) << 1) & 0xFE;
        start();
        byte(addr, x.nak != NAK_ADDRESS);
        if (x.nak != NAK_ADDRESS) {
            byte(f.reg, x.nak != NAK_REGISTER);
            if (x.nak == NAK_NONE) {
                unsigned width = f.width ? f.width : 1;
                uint32_t data = f.width ? f.data : 0xFF;
                if (f.read) {
                    restart();
                    byte(addr | 1, true);
                }
                for (unsigned i = 0; i < width; i++)
                    byte((data >> (8 * (width - 1 - i))) & 0xFF, !f.read || i + 1 < width);
            }
        }
        stop();
    }
};

// Collects the changes, within the selection.
struct Collector {
    const VcdOptions& o;
    std::vector<Change> changes;
    uint32_t initial[SIG_COUNT];

    explicit Collector(const VcdOptions& options) : o(options)
    {
        for (int s = 0; s < SIG_COUNT; s++)
            initial[s] = SIGNALS[s].initial;
    }
    bool wanted_pid(int32_t pid) const { return !o.one_pid || pid == o.pid; }
    bool in_window(uint64_t t) const { return t >= o.from_ns && t <= o.to_ns; }
    // A change of a register-driven signal: before the window it sets the
    // value the file starts with.
    void set(Sig sig, uint64_t t, int32_t pid, uint32_t v)
    {
        if (!wanted_pid(pid) || t > o.to_ns)
            return;
        if (t < o.from_ns)
            initial[sig] = v;
        else
            changes.push_back({t, v, sig});
    }
};

// What the accesses leave in the flash controller (camera-wide).
struct FlashTrack {
    uint32_t length = 0;
    uint32_t wr = 0, rd = 0;
    bool commanded = false;

    void access(Collector& c, const TraceRecord& r)
    {
        uint64_t t = r.time_ns;
        int32_t pid = r.pid;
        c.set(FLASH_PID, t, pid, static_cast<uint32_t>(pid));
        bool write = r.kind != TRACE_READ;
        if (write) {
            switch (r.reg) {
            case ASMI_ADDR: c.set(FLASH_ADDR, t, pid, r.value); break;
            case ASMI_LENGTH:
                length = r.value;
                c.set(FLASH_LENGTH, t, pid, r.value);
                break;
            case ASMI_WR_FIFO:
                wr = std::min(wr + 1, ASMI_FIFO_WORDS);
                c.set(FLASH_WR_LEVEL, t, pid, wr);
                break;
            case ASMI_CMD: command(c, r); break;
            case ASMI_RECONFIG:
                if (r.value & ASMI_RECONFIG_START) {
                    // the controller's registers and FIFOs go back to zero
                    wr = rd = length = 0;
                    commanded = false;
                    for (Sig s : {FLASH_BUSY, FLASH_CMD, FLASH_ADDR, FLASH_LENGTH, FLASH_WR_LEVEL, FLASH_RD_LEVEL})
                        c.set(s, t, pid, 0);
                }
                break;
            default: break;
            }
            return;
        }
        switch (r.reg) {
        case ASMI_STATUS: {
            bool busy = (r.value & ASMI_STATUS_BUSY) != 0;
            c.set(FLASH_BUSY, t, pid, busy);
            if (!busy && commanded) {
                commanded = false;
                c.set(FLASH_CMD, t, pid, 0);
            }
            break;
        }
        case ASMI_WR_FIFO_LEVEL:
            wr = r.value;
            c.set(FLASH_WR_LEVEL, t, pid, wr);
            break;
        case ASMI_RD_FIFO_LEVEL:
            rd = r.value;
            c.set(FLASH_RD_LEVEL, t, pid, rd);
            break;
        case ASMI_RD_FIFO:
            rd = rd ? rd - 1 : 0;
            c.set(FLASH_RD_LEVEL, t, pid, rd);
            break;
        default: break;
        }
    }

    void command(Collector& c, const TraceRecord& r)
    {
        uint64_t t = r.time_ns;
        uint32_t words = std::min((length + 3) / 4, ASMI_FIFO_WORDS);
        c.set(FLASH_CMD, t, r.pid, r.value);
        if (r.value == ASMI_CLEAR) {
            wr = rd = 0;
            c.set(FLASH_WR_LEVEL, t, r.pid, 0);
            c.set(FLASH_RD_LEVEL, t, r.pid, 0);
            return;
        }
        if (r.value == 0)
            return;
        commanded = true;
        c.set(FLASH_BUSY, t, r.pid, 1);
        uint32_t op = r.value & ~ASMI_IMAGE_DATA;
        if (op == ASMI_WRITE) {
            wr = wr > words ? wr - words : 0;
            c.set(FLASH_WR_LEVEL, t, r.pid, wr);
        } else if (op == ASMI_READ) {
            rd = words;
            c.set(FLASH_RD_LEVEL, t, r.pid, rd);
        }
    }
};

Sig span_of(const DecodedEntry& e)
{
    const std::string& s = e.text;
    if (s.rfind("erase sector", 0) == 0)
        return FLASH_ERASE;
    if (s.rfind("program ", 0) == 0)
        return FLASH_PROGRAM;
    if (s.rfind("read ", 0) == 0 && s.rfind("read ID", 0) != 0)
        return FLASH_READ;
    return SIG_COUNT;
}

std::string seconds(uint64_t ns)
{
    return fmt::format("{}.{:09}", ns / 1000000000u, ns % 1000000000u);
}

class Writer {
public:
    explicit Writer(std::FILE* out) : out_(out) {}
    template <typename... Args>
    void put(fmt::format_string<Args...> f, Args&&... args)
    {
        fmt::format_to(std::back_inserter(buf_), f, std::forward<Args>(args)...);
        if (buf_.size() > (1u << 20))
            flush();
    }
    void flush()
    {
        if (!buf_.size())
            return;
        if (std::fwrite(buf_.data(), 1, buf_.size(), out_) != buf_.size())
            failed_ = true;
        buf_.clear();
    }
    bool failed() const { return failed_; }

private:
    std::FILE* out_;
    fmt::memory_buffer buf_;
    bool failed_ = false;
};

// VCD identifier of a signal: one printable character each.
char id_of(int sig)
{
    return static_cast<char>('!' + sig);
}

void put_value(Writer& w, int sig, uint32_t v)
{
    if (SIGNALS[sig].real)
        w.put("r{} {}\n", v, id_of(sig));
    else
        w.put("{}{}\n", v ? '1' : '0', id_of(sig));
}

}  // namespace

bool write_vcd(std::string_view trace, const VcdOptions& o, std::FILE* out, VcdSummary* summary, std::string* err)
{
    VcdSummary sum;
    Collector c(o);
    FlashTrack flash;
    TraceDecoder decoder;
    std::vector<Txn> txns[3];
    std::vector<ControlWrite> controls;

    // ---- one pass over the records ----
    const char* p = trace.data();
    const char* end = p + trace.size();
    size_t index = 0;
    while (p < end) {
        if (*p == '\n') {
            p++;
            continue;
        }
        TraceRecord r;
        bool ok;
        const char* next = parse_trace_buffer(p, end, &r, &ok);
        if (!ok) {
            decoder.feed_bad_line(std::string_view(p, static_cast<size_t>(std::find(p, next, '\n') - p)));
            sum.unreadable_lines++;
            index++;
            p = next;
            continue;
        }
        p = next;
        decoder.feed(r);
        if (r.kind == TRACE_I2C_BUS) {
            sum.device_view = true;
            if (r.bus < 3 && c.wanted_pid(r.pid) && c.in_window(r.time_ns)) {
                Txn x;
                x.t = r.time_ns;
                x.x.bus = r.bus;
                x.x.dev = r.dev;
                x.x.read = r.bus_read;
                x.x.reg = static_cast<uint8_t>(r.reg);
                x.x.width = r.width;
                x.x.data = r.value;
                x.x.ack = x.x.outcome_known = r.ack == I2C_BUS_ACK;
                x.nak = r.ack == I2C_BUS_NAK ? NAK_ADDRESS : r.ack == I2C_BUS_NAK_REGISTER ? NAK_REGISTER : NAK_NONE;
                txns[r.bus].push_back(x);
            }
        } else if ((r.kind == TRACE_READ || r.kind == TRACE_WRITE || (r.kind == TRACE_PROC && !r.refused)) &&
                   !r.error && !r.killed) {
            int m = master_of(r.reg);
            if (m >= 0) {
                c.set(BUS_PID[m], r.time_ns, r.pid, static_cast<uint32_t>(r.pid));
                if (r.kind != TRACE_READ && r.reg == i2c_master_place(static_cast<Bus>(m)).base + I2C_CONTROL)
                    controls.push_back({index, r.time_ns, static_cast<uint8_t>(m)});
            } else if (is_flash_register(r.reg)) {
                flash.access(c, r);
            }
        }
        index++;
    }
    decoder.finish();
    std::vector<DecodedEntry> entries = decoder.take();

    // ---- spans of the flash operations; a recording's I2C transactions ----
    for (const DecodedEntry& e : entries) {
        if (!c.wanted_pid(e.pid) || !c.in_window(e.time_ns))
            continue;
        if (e.kind == DECODED_FLASH) {
            Sig s = span_of(e);
            if (s == SIG_COUNT)
                continue;
            c.changes.push_back({e.time_ns, 1, s});
            c.changes.push_back({std::max(e.end_ns, e.time_ns + 1), 0, s});
            sum.flash_operations++;
        } else if (e.kind == DECODED_I2C && !sum.device_view) {
            Txn x;
            if (!decoded_i2c_transfer(e, &x.x))
                continue;
            // placed at its command write
            x.t = e.time_ns;
            auto it = std::lower_bound(controls.begin(), controls.end(), e.first,
                                       [](const ControlWrite& w, size_t i) { return w.index < i; });
            for (; it != controls.end() && it->index <= e.last; ++it)
                if (it->bus == x.x.bus) {
                    x.t = it->t;
                    break;
                }
            if (!x.x.outcome_known)
                sum.assumed_ack++;
            x.nak = x.x.outcome_known && !x.x.ack ? NAK_ADDRESS : NAK_NONE;
            txns[x.x.bus].push_back(x);
        }
    }

    // ---- the buses ----
    for (int b = 0; b < 3; b++) {
        std::stable_sort(txns[b].begin(), txns[b].end(), [](const Txn& a, const Txn& z) { return a.t < z.t; });
        uint64_t free_at = 0;
        for (const Txn& x : txns[b]) {
            uint64_t at = std::max(x.t, free_at);
            if (at > x.t) {
                sum.shifted++;
                sum.largest_shift_ns = std::max(sum.largest_shift_ns, at - x.t);
            }
            Wire w{c.changes, static_cast<uint16_t>(BUS_SCL[b]), static_cast<uint16_t>(BUS_SCL[b] + 1), at};
            w.transaction(x);
            free_at = w.t + BUS_FREE;
            sum.transactions++;
        }
    }

    std::stable_sort(c.changes.begin(), c.changes.end(), [](const Change& a, const Change& z) { return a.t < z.t; });
    uint64_t origin = o.from_ns;
    if (o.from_ns == 0)
        origin = c.changes.empty() ? 0 : c.changes.front().t - std::min<uint64_t>(c.changes.front().t, 10000);

    // ---- the file ----
    Writer w(out);
    w.put("$comment\n  qxsim trace export{}\n", o.source.empty() ? "" : " of " + o.source);
    w.put("  time unit 1 ns; time 0 is trace time {} s (CLOCK_MONOTONIC of the traced machine)\n", seconds(origin));
    if (o.from_ns || o.to_ns != UINT64_MAX || o.one_pid) {
        w.put("  selected:{}{}{}\n", o.from_ns ? " from " + seconds(o.from_ns) : "",
              o.to_ns != UINT64_MAX ? " to " + seconds(o.to_ns) : "",
              o.one_pid ? fmt::format(" process {}", o.pid) : "");
    }
    w.put("  I2C at 400 kHz, drawn from {}: {} transaction(s)\n",
          sum.device_view ? "what the devices saw (I records)" : "the decoded transactions (no devices' view)",
          sum.transactions);
    if (sum.shifted)
        w.put("  {} transaction(s) drawn later than their command write, as at 400 kHz they would overlap the one "
              "before on their bus (largest delay {:.1f} us)\n",
              sum.shifted, static_cast<double>(sum.largest_shift_ns) / 1000.0);
    if (sum.assumed_ack)
        w.put("  {} transaction(s) whose outcome the trace never shows drawn as acknowledged\n", sum.assumed_ack);
    if (sum.unreadable_lines)
        w.put("  {} line(s) that are not trace lines skipped\n", sum.unreadable_lines);
    w.put("$end\n$version qxsim $end\n$timescale 1 ns $end\n");
    const char* scope = "";
    for (int s = 0; s < SIG_COUNT; s++) {
        if (std::strcmp(scope, SIGNALS[s].scope) != 0) {
            if (*scope)
                w.put("$upscope $end\n");
            scope = SIGNALS[s].scope;
            w.put("$scope module {} $end\n", scope);
        }
        w.put("$var {} {} {} $end\n", SIGNALS[s].real ? "real 64" : "wire 1", id_of(s), SIGNALS[s].name);
    }
    w.put("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
    uint32_t written[SIG_COUNT];
    for (int s = 0; s < SIG_COUNT; s++) {
        written[s] = c.initial[s];
        put_value(w, s, written[s]);
    }
    w.put("$end\n");

    // Changes at one time: the last value of each signal counts.
    uint32_t pending[SIG_COUNT];
    uint16_t touched[SIG_COUNT];
    bool is_touched[SIG_COUNT] = {};
    size_t n = c.changes.size();
    for (size_t i = 0; i < n;) {
        uint64_t t = c.changes[i].t;
        size_t ntouched = 0;
        for (; i < n && c.changes[i].t == t; i++) {
            uint16_t s = c.changes[i].sig;
            pending[s] = c.changes[i].v;
            if (!is_touched[s]) {
                is_touched[s] = true;
                touched[ntouched++] = s;
            }
        }
        bool stamped = false;
        for (size_t k = 0; k < ntouched; k++) {
            uint16_t s = touched[k];
            is_touched[s] = false;
            if (pending[s] == written[s])
                continue;
            if (!stamped) {
                w.put("#{}\n", t - origin);
                stamped = true;
            }
            written[s] = pending[s];
            put_value(w, s, written[s]);
            sum.changes++;
        }
    }
    // a last time stamp, so that readers see the bus idle after the last stop
    if (!c.changes.empty())
        w.put("#{}\n", c.changes.back().t - origin + 10000);
    w.flush();
    if (std::fflush(out) != 0 || w.failed()) {
        *err = std::strerror(errno);
        return false;
    }
    *summary = sum;
    return true;
}

}  // namespace qxsim
