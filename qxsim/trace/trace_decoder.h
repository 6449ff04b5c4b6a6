// The trace decoded as a protocol analyser shows it: register accesses
// grouped into I2C transactions, serial-flash operations, proc-file lines,
// opens and closes, failed accesses and power cuts.
//
// Grouping follows the hardware and the process that issued the accesses:
// I2C transactions per master and issuer (i2c_analyser.h), serial-flash
// operations per issuer (flash_analyser.h); the issuer is the process of an
// ioctl access, and all proc-file lines are one issuer (each comes from a
// short-lived shell; the entry names their processes). An entry is "mixed"
// when another issuer wrote the registers of its master or controller
// between its first access and its result. What a device or register block
// makes of an access (a DAC command, the sensor code, the clamp fields)
// comes from the device's or block's own file.
//
// Entries are listed in the order of their first access. Each carries the
// process and the time of that access.
#pragma once

#include "qxsim/trace/trace_format.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qxsim {

enum DecodedKind : uint8_t {
    DECODED_I2C,        // one I2C transaction (or a wait for idle without one)
    DECODED_FLASH,      // one serial-flash controller operation
    DECODED_RECONFIG,   // write of the reconfiguration register
    DECODED_REGISTER,   // any other register access, one per access
    DECODED_PROC,       // proc line to a register outside the I2C masters, or refused
    DECODED_OPEN,       // O line
    DECODED_CLOSE,      // C line
    DECODED_POWER_CUT,  // K: the process died before the access
    DECODED_BAD_LINE,   // a line the parser refused (from decode_trace_text)
    DECODED_EXIT,       // X or Z: how a process, or a recording's command, ended
};

struct DecodedEntry {
    DecodedKind kind = DECODED_REGISTER;
    int32_t pid = 0;         // the process of the first access
    uint64_t time_ns = 0;    // time of the first access
    uint64_t end_ns = 0;     // time of the last access
    size_t first = 0;        // index of the first and last record in the input
    size_t last = 0;
    uint32_t records = 0;    // records grouped into the entry
    bool failed = false;     // error bit, no acknowledge, E<errno>, timeout
    bool mixed = false;      // another issuer touched its registers meanwhile
    const char* block = "";  // "i2c-isb", "flash", "fpga", "proc", "dev", "power", "exit", ...
    std::string text;        // what it was: "read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack"
};

// Streaming decoder: feed the records in trace order, then finish().
class TraceDecoder {
public:
    TraceDecoder();
    ~TraceDecoder();
    TraceDecoder(const TraceDecoder&) = delete;
    TraceDecoder& operator=(const TraceDecoder&) = delete;

    // The next record; `rec.text` need only live for the call.
    void feed(const TraceRecord& rec);
    // A line that did not parse, so that the listing shows where it was.
    void feed_bad_line(std::string_view line);
    // Ends the trace: groups still open are closed as they stand.
    void finish();
    // Every entry so far, in the order of their first record. Call after
    // finish() for the whole trace.
    std::vector<DecodedEntry> take();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Decodes a whole parsed trace.
std::vector<DecodedEntry> decode_trace(const std::vector<TraceRecord>& records);
// Parses and decodes trace text (the contents of trace.log).
std::vector<DecodedEntry> decode_trace_text(std::string_view text);

// One listing line without newline:
//   "<pid> <time> <block> <text>[ [mixed]]"
// e.g. "4711 12.000123456 i2c-isb  read dev 0x50 reg 0x04 -> 0x43 (8 bit), ack"
std::string format_decoded(const DecodedEntry& entry);
// Appends every entry's line with a newline to *out.
void format_decoded(const std::vector<DecodedEntry>& entries, std::string* out);

}  // namespace qxsim
