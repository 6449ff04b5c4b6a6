// Trace lines written and read by hand: the writer runs on the access path
// of a traced camera, the parser over millions of lines of an update's trace.
#include "qxsim/trace/trace_format.h"

#include "qxsim/trace/parse.h"

#include <cstring>
#include <ctime>

namespace qxsim {

namespace {

const char HEX_DIGITS[] = "0123456789abcdef";

// Decimal digits of v, most significant first, into out; returns the count.
size_t put_decimal(char* out, uint64_t v)
{
    char tmp[20];
    size_t n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    for (size_t i = 0; i < n; i++)
        out[i] = tmp[n - 1 - i];
    return n;
}

size_t put_hex32(char* out, uint32_t v)
{
    out[0] = '0';
    out[1] = 'x';
    for (int i = 0; i < 8; i++)
        out[2 + i] = HEX_DIGITS[(v >> (28 - 4 * i)) & 0xF];
    return 10;
}

size_t put_errno(char* out, int err)
{
    out[0] = 'E';
    if (err < 0) {
        out[1] = '-';
        return 2 + put_decimal(out + 2, static_cast<uint64_t>(-static_cast<int64_t>(err)));
    }
    return 1 + put_decimal(out + 1, static_cast<uint64_t>(err));
}

// "<pid> <s>.<ns> " into out.
size_t put_prefix(char* out, int32_t pid, uint64_t time_ns)
{
    size_t n = 0;
    if (pid < 0) {
        out[n++] = '-';
        n += put_decimal(out + n, static_cast<uint64_t>(-static_cast<int64_t>(pid)));
    } else {
        n += put_decimal(out + n, static_cast<uint64_t>(pid));
    }
    out[n++] = ' ';
    n += put_decimal(out + n, time_ns / 1000000000u);
    out[n++] = '.';
    uint64_t ns = time_ns % 1000000000u;
    for (int i = 8; i >= 0; i--) {
        out[n + static_cast<size_t>(i)] = static_cast<char>('0' + ns % 10);
        ns /= 10;
    }
    n += 9;
    out[n++] = ' ';
    return n;
}

// ---- parsing ----

// Hexadecimal digit values, 0xFF for any other byte.
struct HexTable {
    uint8_t v[256];
    constexpr HexTable() : v()
    {
        for (int i = 0; i < 256; i++)
            v[i] = 0xFF;
        for (int i = 0; i < 10; i++)
            v['0' + i] = static_cast<uint8_t>(i);
        for (int i = 0; i < 6; i++) {
            v['a' + i] = static_cast<uint8_t>(10 + i);
            v['A' + i] = static_cast<uint8_t>(10 + i);
        }
    }
};
constexpr HexTable HEX;

// A time field's nanoseconds fit 64 bits.
constexpr uint64_t MAX_SECONDS = UINT64_MAX / 1000000000u;
constexpr bool time_fits(uint64_t s, uint64_t ns)
{
    return s < MAX_SECONDS || (s == MAX_SECONDS && ns <= UINT64_MAX % 1000000000u);
}

// Reads fields of one line of a buffer; the line ends at a newline or at
// the end of the buffer.
struct Cursor {
    const char* p;
    const char* end;

    bool at_end() const { return p == end || *p == '\n'; }
    const char* line_end() const
    {
        const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
        return nl ? static_cast<const char*>(nl) : end;
    }
    // The characters up to the next blank or the line's end.
    std::string_view word()
    {
        const char* start = p;
        while (!at_end() && *p != ' ')
            p++;
        return std::string_view(start, static_cast<size_t>(p - start));
    }
    bool take(char c)
    {
        if (p != end && *p == c) {
            p++;
            return true;
        }
        return false;
    }
    // Decimal digits; false for none and for a number beyond 64 bits.
    bool decimal(uint64_t* v, int* digits = nullptr)
    {
        const char* start = p;
        uint64_t x = 0;
        while (p != end && *p >= '0' && *p <= '9') {
            const uint64_t d = static_cast<uint64_t>(*p++ - '0');
            if (x > (UINT64_MAX - d) / 10)
                return false;
            x = x * 10 + d;
        }
        if (digits)
            *digits = static_cast<int>(p - start);
        *v = x;
        return p != start;
    }
    // "0x" and 1..8 hexadecimal digits.
    bool hex32(uint32_t* v)
    {
        if (end - p < 3 || p[0] != '0' || (p[1] != 'x' && p[1] != 'X'))
            return false;
        const char* start = p + 2;
        const char* q = start;
        uint32_t x = 0;
        while (q != end) {
            uint8_t d = HEX.v[static_cast<unsigned char>(*q)];
            if (d == 0xFF)
                break;
            if (q - start == 8)
                return false;
            x = (x << 4) | d;
            q++;
        }
        if (q == start)
            return false;
        p = q;
        *v = x;
        return true;
    }
    // A proc-line number, read as the driver reads it.
    bool number32(uint32_t* v)
    {
        const char* start = p;
        while (!at_end() && *p != ' ' && *p != '\t')
            p++;
        return parse_u32(start, p, v);
    }
    void blanks()
    {
        while (p != end && (*p == ' ' || *p == '\t'))
            p++;
    }
    bool errno_field(int* err)
    {
        if (!take('E'))
            return false;
        bool negative = take('-');
        uint64_t v;
        if (!decimal(&v) || v > 100000)
            return false;
        *err = negative ? -static_cast<int>(v) : static_cast<int>(v);
        return true;
    }
};

}  // namespace

uint64_t trace_now_ns()
{
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

namespace {

const char* const BUS_ACK_WORDS[3] = {"ack", "nak", "nak-reg"};
const char* const CUT_WORDS[2] = {"erase", "program"};

// "K erase|program 0x<addr> <bytes>" after the prefix.
size_t put_cut(char* out, const TraceRecord& rec)
{
    const char* word = rec.text == CUT_WORDS[0] ? CUT_WORDS[0] : CUT_WORDS[1];
    size_t n = 0;
    out[n++] = TRACE_CUT;
    out[n++] = ' ';
    for (const char* w = word; *w;)
        out[n++] = *w++;
    out[n++] = ' ';
    n += put_hex32(out + n, rec.reg);
    out[n++] = ' ';
    n += put_decimal(out + n, rec.value);
    out[n++] = '\n';
    return n;
}

// "I <bus> 0x<dev> R|W 0x<reg> 0x<data>|- <ack>" after the prefix.
size_t put_i2c_bus(char* out, const TraceRecord& rec)
{
    size_t n = 0;
    auto put = [&](const char* s) {
        while (*s)
            out[n++] = *s++;
    };
    auto put_hex = [&](uint32_t v, unsigned digits) {
        out[n++] = '0';
        out[n++] = 'x';
        for (unsigned i = digits; i-- > 0;)
            out[n++] = HEX_DIGITS[(v >> (4 * i)) & 0xF];
    };
    put("I ");
    put(TRACE_BUS_NAMES[rec.bus < 3 ? rec.bus : 0]);
    out[n++] = ' ';
    put_hex(rec.dev, 2);
    put(rec.bus_read ? " R " : " W ");
    put_hex(rec.reg & 0xFF, 2);
    out[n++] = ' ';
    if (rec.width == 1 || rec.width == 2 || rec.width == 4)
        put_hex(rec.value, 2u * rec.width);
    else
        out[n++] = '-';
    out[n++] = ' ';
    put(BUS_ACK_WORDS[rec.ack < 3 ? rec.ack : 0]);
    out[n++] = '\n';
    return n;
}

}  // namespace

size_t format_trace_line(const TraceRecord& rec, char* buf, size_t size)
{
    if (rec.kind == TRACE_COMMENT) {
        size_t total = 2 + rec.text.size() + 1;
        if (total <= size) {
            buf[0] = '#';
            buf[1] = ' ';
            std::memcpy(buf + 2, rec.text.data(), rec.text.size());
            buf[total - 1] = '\n';
        }
        return total;
    }
    // Everything but the text fits in TRACE_LINE_FIXED bytes: prefix at most
    // 11 + 1 + 20 + 1 + 9 + 1, kind 3, two fields of at most 12, newline; an
    // I or K line at most 38 after the prefix.
    char head[TRACE_LINE_FIXED];
    size_t n = put_prefix(head, rec.pid, rec.time_ns);
    if (rec.kind == TRACE_I2C_BUS || rec.kind == TRACE_CUT) {
        n += rec.kind == TRACE_CUT ? put_cut(head + n, rec) : put_i2c_bus(head + n, rec);
        if (n <= size)
            std::memcpy(buf, head, n);
        return n;
    }
    std::string_view text;
    bool access_form = rec.kind == TRACE_READ || rec.kind == TRACE_WRITE || (rec.kind == TRACE_PROC && rec.killed);
    head[n++] = rec.kind;
    if (rec.kind == TRACE_PROC && rec.refused && !rec.killed)
        head[n++] = '!';
    head[n++] = ' ';
    if (access_form) {
        n += put_hex32(head + n, rec.reg);
        head[n++] = ' ';
        if (rec.killed)
            head[n++] = 'K';
        else if (rec.error)
            n += put_errno(head + n, rec.error);
        else
            n += put_hex32(head + n, rec.value);
    } else {
        text = rec.text;
    }
    size_t tail = 0;
    char after[24];
    if (!access_form && rec.kind == TRACE_OPEN && rec.error) {
        after[tail++] = ' ';
        tail += put_errno(after + tail, rec.error);
    }
    if ((rec.kind == TRACE_EXIT || rec.kind == TRACE_END) && rec.text != "exec") {
        after[tail++] = ' ';
        tail += put_decimal(after + tail, rec.value);
    }
    after[tail++] = '\n';
    size_t total = n + text.size() + tail;
    if (total > size)
        return total;
    std::memcpy(buf, head, n);
    if (!text.empty())
        std::memcpy(buf + n, text.data(), text.size());
    std::memcpy(buf + n + text.size(), after, tail);
    return total;
}

namespace {

// A word of `words` (n of them) at c.p followed by a blank or the end; its index.
int take_word(Cursor& c, const char* const* words, int n)
{
    for (int i = 0; i < n; i++) {
        size_t len = std::strlen(words[i]);
        if (static_cast<size_t>(c.end - c.p) >= len && std::memcmp(c.p, words[i], len) == 0 &&
            (c.p + len == c.end || c.p[len] == ' ' || c.p[len] == '\n')) {
            c.p += len;
            return i;
        }
    }
    return -1;
}

// " <bus> 0x<dev> R|W 0x<reg> 0x<data>|- <ack>" after the kind.
bool parse_i2c_bus(Cursor& c, TraceRecord* rec)
{
    int bus, ack;
    uint32_t dev, reg;
    if (!c.take(' ') || (bus = take_word(c, TRACE_BUS_NAMES, 3)) < 0 || !c.take(' ') || !c.hex32(&dev) ||
        dev > 0xFF || !c.take(' '))
        return false;
    if (c.take('R'))
        rec->bus_read = true;
    else if (!c.take('W'))
        return false;
    if (!c.take(' ') || !c.hex32(&reg) || reg > 0xFF || !c.take(' '))
        return false;
    if (!c.take('-')) {
        const char* start = c.p;
        if (!c.hex32(&rec->value))
            return false;
        long digits = c.p - start - 2;
        if (digits != 2 && digits != 4 && digits != 8)
            return false;
        rec->width = static_cast<uint8_t>(digits / 2);
    }
    if (!c.take(' ') || (ack = take_word(c, BUS_ACK_WORDS, 3)) < 0)
        return false;
    rec->bus = static_cast<uint8_t>(bus);
    rec->dev = static_cast<uint8_t>(dev);
    rec->reg = reg;
    rec->ack = static_cast<uint8_t>(ack);
    return c.at_end();
}

// The line at c.p; on success c.p is left at its newline (or the end).
bool parse_fields(Cursor& c, TraceRecord* rec)
{
    *rec = TraceRecord{};
    if (c.take('#')) {
        rec->kind = TRACE_COMMENT;
        c.take(' ');
        c.end = c.line_end();
        rec->text = std::string_view(c.p, static_cast<size_t>(c.end - c.p));
        c.p = c.end;
        return true;
    }
    bool negative = c.take('-');
    uint64_t v;
    if (!c.decimal(&v) || v > 0x7FFFFFFF || !c.take(' '))
        return false;
    rec->pid = negative ? -static_cast<int32_t>(v) : static_cast<int32_t>(v);
    if (!c.at_end() && *c.p >= '0' && *c.p <= '9') {
        uint64_t s, ns;
        int digits;
        if (!c.decimal(&s) || !c.take('.') || !c.decimal(&ns, &digits) || digits != 9 || !time_fits(s, ns) ||
            !c.take(' '))
            return false;
        rec->time_ns = s * 1000000000u + ns;
    }
    if (c.at_end())
        return false;
    rec->kind = *c.p++;
    switch (rec->kind) {
    case TRACE_READ:
    case TRACE_WRITE:
        if (!c.take(' ') || !c.hex32(&rec->reg) || !c.take(' '))
            return false;
        if (c.take('K'))
            rec->killed = true;
        else if (!c.at_end() && *c.p == 'E') {
            if (!c.errno_field(&rec->error))
                return false;
        } else if (!c.hex32(&rec->value))
            return false;
        return c.at_end();
    case TRACE_PROC: {
        rec->refused = c.take('!');
        if (!c.take(' '))
            return false;
        c.end = c.line_end();
        rec->text = std::string_view(c.p, static_cast<size_t>(c.end - c.p));
        if (rec->refused) {
            c.p = c.end;
            return true;
        }
        // A power cut at a proc line: "P 0x<reg> K".
        if (c.hex32(&rec->reg)) {
            if (!c.take(' ') || !c.take('K') || !c.at_end())
                return false;
            rec->killed = true;
            rec->text = {};
            return true;
        }
        c.blanks();
        if (!c.take('w'))
            return false;
        if (c.at_end() || (*c.p != ' ' && *c.p != '\t'))
            return false;
        c.blanks();
        if (!c.number32(&rec->reg))
            return false;
        c.blanks();
        if (!c.number32(&rec->value))
            return false;
        c.blanks();
        return c.at_end();
    }
    case TRACE_EXIT:
    case TRACE_END: {
        if (!c.take(' '))
            return false;
        rec->text = c.word();
        if (rec->kind == TRACE_EXIT && rec->text == "exec")
            return c.at_end();
        if (rec->text != "exit" && (rec->kind != TRACE_END || rec->text != "signal"))
            return false;
        uint64_t v;
        if (!c.take(' ') || !c.decimal(&v) || v > 0xFFFFFFFF)
            return false;
        rec->value = static_cast<uint32_t>(v);
        return c.at_end();
    }
    case TRACE_OPEN:
    case TRACE_CLOSE: {
        if (!c.take(' '))
            return false;
        rec->text = c.word();
        if (rec->text.empty())
            return false;
        // only an open can fail
        if (rec->kind == TRACE_OPEN && c.take(' ') && !c.errno_field(&rec->error))
            return false;
        return c.at_end();
    }
    case TRACE_I2C_BUS:
        return parse_i2c_bus(c, rec);
    case TRACE_CUT: {
        int word;
        uint64_t bytes;
        if (!c.take(' ') || (word = take_word(c, CUT_WORDS, 2)) < 0 || !c.take(' ') || !c.hex32(&rec->reg) ||
            !c.take(' ') || !c.decimal(&bytes) || bytes > 0xFFFFFFFF)
            return false;
        rec->text = CUT_WORDS[word];
        rec->value = static_cast<uint32_t>(bytes);
        rec->killed = true;
        return c.at_end();
    }
    default:
        return false;
    }
}

}  // namespace

bool parse_trace_line(std::string_view line, TraceRecord* rec)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    Cursor c{line.data(), line.data() + line.size()};
    return parse_fields(c, rec) && c.p == c.end;
}

namespace {

// "<pid> " or "<pid> <seconds>.<9 digits> " exactly filling [p, end), as
// parse_fields reads it.
bool parse_prefix(const char* p, const char* end, TraceRecord* rec)
{
    const bool negative = p != end && *p == '-';
    p += negative;
    uint64_t v = 0;
    const char* start = p;
    for (; p != end && *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0x7FFFFFFF)
            return false;
    }
    if (p == start || p == end || *p != ' ')
        return false;
    rec->pid = negative ? -static_cast<int32_t>(v) : static_cast<int32_t>(v);
    rec->time_ns = 0;
    if (++p == end)
        return true;
    uint64_t s = 0;
    start = p;
    for (; p != end && *p >= '0' && *p <= '9'; p++) {
        s = s * 10 + static_cast<uint64_t>(*p - '0');
        if (s > MAX_SECONDS)
            return false;
    }
    if (p == start || end - p != 11 || *p != '.' || end[-1] != ' ')
        return false;
    uint64_t ns = 0;
    for (const char* q = p + 1; q != end - 1; q++) {
        if (*q < '0' || *q > '9')
            return false;
        ns = ns * 10 + static_cast<uint64_t>(*q - '0');
    }
    if (!time_fits(s, ns))
        return false;
    rec->time_ns = s * 1000000000u + ns;
    return true;
}

}  // namespace

bool parse_trace_access(std::string_view line, TraceRecord* rec)
{
    size_t n = line.size();
    if (n < 25)
        return false;
    const char* e = line.data() + n;
    if (e[-11] != ' ' || e[-10] != '0' || e[-9] != 'x' || e[-22] != ' ' || e[-21] != '0' || e[-20] != 'x' ||
        e[-24] != ' ' || (e[-23] != 'R' && e[-23] != 'W'))
        return false;
    uint32_t fields[2] = {};
    uint32_t bad = 0;
    for (int f = 0; f < 2; f++) {
        const char* p = e - (f ? 8 : 19);
        for (int i = 0; i < 8; i++) {
            uint8_t d = HEX.v[static_cast<unsigned char>(p[i])];
            bad |= d;
            fields[f] = (fields[f] << 4) | (d & 0xF);
        }
    }
    if ((bad & 0xF0) || !parse_prefix(line.data(), e - 23, rec))
        return false;
    rec->kind = e[-23];
    rec->reg = fields[0];
    rec->value = fields[1];
    rec->error = 0;
    rec->killed = false;
    rec->refused = false;
    rec->text = {};
    return true;
}

const char* parse_trace_buffer(const char* p, const char* end, TraceRecord* rec, bool* ok)
{
    Cursor c{p, end};
    *ok = parse_fields(c, rec);
    const char* eol = *ok ? c.p : Cursor{c.p, end}.line_end();
    return eol == end ? end : eol + 1;
}

}  // namespace qxsim
