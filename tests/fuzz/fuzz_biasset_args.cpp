// biasset's name and value arguments, through biasset's own translation
// unit (main renamed): the first NUL byte of the input splits name from
// value. A value taken is a plain number of at most ten bits; a name taken
// is one of the DAC outputs.
#define main biasset_main
#include "biasset/main.cpp"
#undef main

#include <cstdlib>
#include <string>
#include <strings.h>

#include <fcntl.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t cut = in.find('\0');
    std::string name = in.substr(0, cut);
    std::string value = cut == std::string::npos ? "" : in.substr(cut + 1);
    value = value.substr(0, value.find('\0'));

    const dac_reg* reg = find_output(name.c_str());
    if (reg != nullptr && strcasecmp(reg->name, name.c_str()) != 0)
        abort();
    // The refusal lines go to /dev/null; libFuzzer reports on the real stderr.
    static int null_fd = ::open("/dev/null", O_WRONLY);
    static int saved_fd = ::dup(2);
    uint16_t v = 0xFFFF;
    fflush(stderr);
    ::dup2(null_fd, 2);
    bool taken = parse_value(value.c_str(), &v);
    fflush(stderr);
    ::dup2(saved_fd, 2);
    if (taken) {
        if (v > DAC_VALUE_MAX || strtoul(value.c_str(), nullptr, 0) != v)
            abort();
        (void)dac_data_word(v);
    }
    return 0;
}
