// regdump's command line, parsed by regdump's own code: the fuzz input is
// split at NUL bytes into arguments. The tool's translation unit is compiled
// in with its main renamed, so the options and numbers go through exactly
// the functions the tool runs.
#define main regdump_main
#include "regdump/regdump.cpp"
#undef main

#include <cstdlib>
#include <string>
#include <vector>

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
    parse_options(int(args.size()), argv.data());
    if (reg_count < 0 || reg_count > 255)
        abort();
    // Every number the tool takes is the low byte of strtoul's reading.
    for (size_t i = 1; i < args.size(); i++)
        if (parse_byte(args[i].c_str()) != uint8_t(strtoul(args[i].c_str(), nullptr, 0)))
            abort();
    (void)master_base();
    (void)bus_letter();
    return 0;
}
