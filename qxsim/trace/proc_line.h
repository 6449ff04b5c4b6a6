// Register-write lines as the driver's proc file takes them:
// "w <reg> <value>", numbers in 0x-hexadecimal or decimal, fields separated
// by blanks or tabs, ended by a newline (the last line of a buffer may lack
// it). Anything else refuses the whole buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qxsim {

struct ProcLine {
    uint32_t reg;
    uint32_t value;
    std::string text;  // the line without its newline
};

// Parses every line of `buf`; false (and *lines untouched) if any line is
// not a valid register-write line or the buffer holds no line at all.
bool parse_proc_lines(const char* buf, size_t len, std::vector<ProcLine>* lines);

// The buffer's lines made printable for the trace: no newline, control
// bytes as \xNN.
std::vector<std::string> printable_lines(const char* buf, size_t len);

}  // namespace qxsim
