// The trace line format, shared by the model (trace.log), the recorder, the
// test harness, replay and the decoded view.
//
// One line per event, fields separated by one blank:
//
//     <pid> <time> R 0x<reg:08x> 0x<value:08x>   register read and the value returned
//     <pid> <time> W 0x<reg:08x> 0x<value:08x>   register write
//     <pid> <time> R 0x<reg:08x> E<errno>        failed access; W likewise
//     <pid> <time> W 0x<reg:08x> K               power cut before this access; R, P likewise
//     <pid> <time> K erase|program 0x<addr:08x> <bytes>
//                                                power cut inside the sector erase or page
//                                                program the access before it started, after
//                                                its first <bytes> bytes (camera traces only)
//     <pid> <time> P <line as received>          accepted proc line ("w 0x18c 0x4b00")
//     <pid> <time> P! <line as received>         refused proc line (control bytes as \xNN)
//     <pid> <time> O <path> [E<errno>]           /dev/qx_fpga or /proc/qx_pci/regs opened (or refused)
//     <pid> <time> C <path>                      device closed
//     <pid> <time> I <bus> 0x<dev> R|W 0x<reg> 0x<data>|- ack|nak|nak-reg
//                                                one I2C transaction as the devices on
//                                                the bus took it (camera traces only)
//     <pid> <time> X exit <status>               the process ended with exit status <status>
//     <pid> <time> X exec                        the process image was replaced by exec
//     <pid> <time> Z exit <status>               end mark of a recording: the recorded command
//     <pid> <time> Z signal <number>               (pid) ended so, and the recording closed
//     # <text>                                   a comment; a recording starts with its version:
//                                                "# qxsim recording 2"
//
// <time> is CLOCK_MONOTONIC when the event happened, "<seconds>.<9-digit
// nanoseconds>". Lines without the time field (older traces) parse with
// time_ns 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qxsim {

enum TraceKind : char {
    TRACE_READ = 'R',
    TRACE_WRITE = 'W',
    TRACE_PROC = 'P',
    TRACE_OPEN = 'O',
    TRACE_CLOSE = 'C',
    TRACE_EXIT = 'X',     // text "exit" (value: status) or "exec"
    TRACE_END = 'Z',      // text "exit" (value: status) or "signal" (value: number)
    TRACE_COMMENT = '#',  // text: the comment after "# "
    TRACE_I2C_BUS = 'I',  // an I2C transaction as the devices took it (below)
    TRACE_CUT = 'K',      // power cut inside a flash operation: text "erase" or "program",
                          // reg its address, value the bytes that landed; killed is set
};

// How an I2C transaction ended on the bus (I records).
enum I2cBusAck : uint8_t {
    I2C_BUS_ACK,           // every byte acknowledged
    I2C_BUS_NAK,           // nobody acknowledged the address
    I2C_BUS_NAK_REGISTER,  // the address was, the register byte not
};

// The first line of a recording since recordings carry exit records and an
// end mark; a recording without it is of an older recorder.
constexpr char RECORDING_VERSION_LINE[] = "# qxsim recording 2";

// One trace line. `text` is a view into the line it was parsed from (or
// into the caller's data when writing): the proc line for P, the path for
// O and C, how a process or a recording ended for X and Z, the comment for
// #, empty otherwise.
struct TraceRecord {
    int32_t pid = 0;
    uint64_t time_ns = 0;
    char kind = 0;          // a TraceKind
    uint32_t reg = 0;       // R, W, accepted P, and the register of a power cut
    uint32_t value = 0;     // R: value read; W and accepted P: value written; X, Z: status or signal
    int error = 0;          // errno of a failed access or open, 0 if none
    bool killed = false;    // "K": power cut at this access
    bool refused = false;   // "P!": proc buffer refused
    std::string_view text;
    // I: reg and value are the device register and the data (right-aligned)
    uint8_t bus = 0;        // the master: 0 main, 1 isb, 2 iob
    uint8_t dev = 0;        // device address of the command word
    uint8_t width = 0;      // data bytes after the register: 2 for a write, 1, 2 or 4 for a read, 0 after a NAK
    uint8_t ack = I2C_BUS_ACK;  // an I2cBusAck
    bool bus_read = false;  // a read transaction
};

// The masters' names in I records, by bus number.
inline constexpr const char* TRACE_BUS_NAMES[3] = {"main", "isb", "iob"};

// Room for any line whose text field is at most this long.
constexpr size_t TRACE_LINE_FIXED = 96;

// CLOCK_MONOTONIC now, in nanoseconds.
uint64_t trace_now_ns();

// Formats `rec` as one line with its newline into buf[0..size). Returns the
// length of the whole line; like snprintf, nothing is written when that is
// more than `size` (call again with a larger buffer). Never allocates.
size_t format_trace_line(const TraceRecord& rec, char* buf, size_t size);

// Parses one line (with or without its newline). False for a line that is
// not in the format above; *rec is then unspecified.
bool parse_trace_line(std::string_view line, TraceRecord* rec);

// The common line alone, a successful register access ("<pid> <time> R
// 0x<8 hex digits> 0x<8 hex digits>"), read from its end: true for exactly
// the lines of that form parse_trace_line takes, filling the same fields.
// False for any other line, which then takes parse_trace_line. For readers
// that mostly see accesses (replay), several times faster.
bool parse_trace_access(std::string_view line, TraceRecord* rec);

// Parses the line starting at p in the buffer [p, end) (a trace file read
// or mapped whole) and returns the start of the next line. *ok tells
// whether the line was a trace line; rec->text points into the buffer.
const char* parse_trace_buffer(const char* p, const char* end, TraceRecord* rec, bool* ok);

}  // namespace qxsim
