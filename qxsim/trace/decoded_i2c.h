// The I2C transactions of the decoded view read back from its lines: what
// the decoder says went over a bus, as addresses, register, data bytes and
// acknowledgement. The waveform export draws a recording's buses from them
// (a recording has no devices' view), and tests hold them against other
// decoders.
#pragma once

#include "qxsim/trace/trace_decoder.h"

#include <cstdint>

namespace qxsim {

struct I2cTransfer {
    uint8_t bus = 0;        // 0 main, 1 isb, 2 iob
    uint8_t dev = 0;
    bool read = false;
    uint8_t reg = 0;
    uint8_t width = 0;      // data bytes: 2 for a write, 1, 2 or 4 for a read
    uint32_t data = 0;      // right-aligned, sent most significant byte first
    bool ack = false;       // false: the decoder saw the error bit
    bool outcome_known = false;  // the result was read (a dac write's is not)
};

// The transfer of a DECODED_I2C entry, false for an entry that put nothing
// on the bus (a wait for idle, a command that was not written or that the
// master does not know).
bool decoded_i2c_transfer(const DecodedEntry& entry, I2cTransfer* out);

}  // namespace qxsim
