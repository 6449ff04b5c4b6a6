// A trace as a Value Change Dump for waveform viewers (GTKWave) and logic
// analyser software (sigrok): each I2C master's SCL and SDA as the bus
// would carry its transactions, the serial-flash controller's busy flag,
// command, address, length and FIFO levels, its erases, page programs and
// reads as spans, and the process behind the accesses of each block.
//
// Conventions (qxsim(1), "trace export"):
// - time unit 1 ns, time 0 a little before the first event exported (the
//   header's comment gives its trace time);
// - I2C at 400 kHz, SCL low and high 1.25 us each. A write: start, address
//   with the write bit, register, the data word's two bytes most
//   significant first, stop. A read: start, address and write bit,
//   register, repeated start, address and read bit, the data bytes (1, 2
//   or 4) each acknowledged by the master but the last, NACK, stop. An
//   address nobody acknowledges ends the transaction there; a device that
//   answers its address but refuses the transaction NAKs the register byte.
// - Each transaction starts at the time of its command write; one that
//   would overlap the one before on its bus at that speed starts after it
//   (the header's comment counts them).
// - The camera's own trace is drawn from what the devices saw (its I
//   records); a recording, which has none, from the decoded transactions.
// - Numeric signals (commands, addresses, lengths, levels, process IDs) are
//   VCD reals: Debian 12's sigrok-cli loads a file with them (it skips them),
//   where a multi-bit vector stops its VCD reader at the first value.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace qxsim {

struct VcdOptions {
    uint64_t from_ns = 0;             // trace times, inclusive
    uint64_t to_ns = UINT64_MAX;
    bool one_pid = false;             // only the accesses of `pid`
    int32_t pid = 0;
    std::string source;               // named in the header's comment
};

struct VcdSummary {
    bool device_view = false;         // I2C drawn from I records
    size_t transactions = 0;          // I2C transactions drawn
    size_t shifted = 0;               // of them drawn later than recorded
    uint64_t largest_shift_ns = 0;
    size_t assumed_ack = 0;           // decoded ones whose outcome was never read
    size_t flash_operations = 0;      // erase, program and read spans
    size_t changes = 0;               // value changes written
    size_t unreadable_lines = 0;      // lines that are not trace lines, skipped
};

// Writes the VCD of `trace` (trace file contents) to `out`. False with *err
// when writing fails.
bool write_vcd(std::string_view trace, const VcdOptions& options, std::FILE* out, VcdSummary* summary,
               std::string* err);

}  // namespace qxsim
