// regdump's command line, parsed by regdump's own code and held against a
// reference written from the command line's description: the fuzz input is
// split at NUL bytes into arguments. The tool's translation unit is compiled
// in with its main renamed, so the options and numbers go through exactly the
// functions the tool runs; the reference parses the same arguments its own
// way (short clusters, attached or separate arguments, long names and their
// unique prefixes, "--", non-options ignored, the first error ends the scan;
// numbers unsigned with C's prefix rules, low 8 bits kept), and every setting
// and the verdict must agree.
#define main regdump_main
#include "regdump/regdump.cpp"
#undef main

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Settings {
    int count = 16;
    uint8_t dev = 0, reg = 0;
    bool one_byte = true, force = false, isb = false, iob = false, verbose = false;
    bool ok = true;
};

// The value of a number argument: C's unsigned reading (blanks, a sign,
// 0x/0X hexadecimal, leading 0 octal, else decimal; as far as digits go; a
// value past the range saturates; a minus negates), its low 8 bits.
uint8_t number(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        i++;
    bool minus = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        minus = text[i++] == '-';
    unsigned base = 10;
    auto digit = [&](size_t at) -> int {
        if (at >= text.size())
            return -1;
        char c = text[at];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'z' ? c - 'a' + 10 : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : -1;
        return d >= 0 && unsigned(d) < base ? d : -1;
    };
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        if (digit(i + 2) < 0)
            return 0;  // "0x" alone is the number 0
        i += 2;
    } else if (i < text.size() && text[i] == '0') {
        base = 8;
    }
    unsigned long v = 0;
    bool over = false, any = false;
    for (int d; (d = digit(i)) >= 0; i++) {
        any = true;
        if (v > (ULONG_MAX - unsigned(d)) / base)
            over = true;
        else
            v = v * base + unsigned(d);
    }
    if (!any)
        return 0;
    if (over)
        return 0xFF;
    return uint8_t(minus ? 0 - v : v);
}

struct LongOption {
    const char* name;
    char letter;
};
const LongOption longs[] = {{"two", '2'},   {"count", 'c'}, {"dev", 'd'},     {"force", 'f'}, {"isb", 'i'},
                            {"iob", 'o'},   {"reg", 'r'},   {"verbose", 'v'}, {"help", '?'}};

bool takes_value(char letter)
{
    return letter == 'c' || letter == 'd' || letter == 'r';
}

void apply(Settings& s, char letter, const std::string& value)
{
    switch (letter) {
    case '2': s.one_byte = false; break;
    case 'c': s.count = number(value); break;
    case 'd': s.dev = number(value); break;
    case 'r': s.reg = number(value); break;
    case 'f': s.force = true; break;
    case 'i': s.isb = true; break;
    case 'o': s.iob = true; break;
    case 'v': s.verbose = true; break;
    default: s.ok = false;
    }
}

// False when the reference makes no claim (a long option without a name).
bool reference(const std::vector<std::string>& args, Settings* s)
{
    for (size_t i = 1; i < args.size() && s->ok; i++) {
        const std::string& a = args[i];
        if (a == "--")
            break;
        if (a.size() < 2 || a[0] != '-')
            continue;  // not an option
        if (a[1] == '-') {
            const size_t eq = a.find('=');
            const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            if (name.empty())
                return false;
            const LongOption* found = nullptr;
            int prefixes = 0;
            for (const LongOption& l : longs) {
                if (name == l.name) {
                    found = &l;
                    prefixes = 1;
                    break;
                }
                if (std::strncmp(l.name, name.c_str(), name.size()) == 0) {
                    found = &l;
                    prefixes++;
                }
            }
            if (prefixes != 1 || found->letter == '?') {
                s->ok = false;
            } else if (!takes_value(found->letter)) {
                if (eq != std::string::npos)
                    s->ok = false;
                else
                    apply(*s, found->letter, "");
            } else if (eq != std::string::npos) {
                apply(*s, found->letter, a.substr(eq + 1));
            } else if (i + 1 < args.size()) {
                apply(*s, found->letter, args[++i]);
            } else {
                s->ok = false;
            }
            continue;
        }
        for (size_t k = 1; k < a.size() && s->ok; k++) {
            const char c = a[k];
            if (!std::strchr("2cdfiorv", c)) {
                s->ok = false;
            } else if (!takes_value(c)) {
                apply(*s, c, "");
            } else {
                if (k + 1 < a.size())
                    apply(*s, c, a.substr(k + 1));
                else if (i + 1 < args.size())
                    apply(*s, c, args[++i]);
                else
                    s->ok = false;
                break;
            }
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args{"regdump"};
    std::string cur;
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    args.push_back(cur);
    if (args.size() > 64)
        return 0;
    std::vector<std::string> kept = args;  // getopt permutes argv
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    reg_count = 16;
    dev_addr = first_reg = 0;
    one_byte = true;
    force = use_isb = use_iob = verbose = false;
    optind = 0;  // glibc: start a fresh scan
    opterr = 0;
    const bool ok = parse_options(int(argv.size() - 1), argv.data());

    Settings want;
    if (!reference(kept, &want))
        return 0;
    if (ok != want.ok)
        abort();
    if (reg_count != want.count || dev_addr != want.dev || first_reg != want.reg || one_byte != want.one_byte ||
        force != want.force || use_isb != want.isb || use_iob != want.iob || verbose != want.verbose)
        abort();
    if (master_base() != (want.isb ? I2C_ISB_BASE : want.iob ? I2C_IOB_BASE : I2C_MAIN_BASE))
        abort();
    return 0;
}
