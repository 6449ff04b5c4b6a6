// What the recording interposer writes: one file per process image in the
// recording folder (`<pid>.<n>.rec`), a header and a stream of records. The
// front end merges the files into one trace when the recorded command ends.
//
// Register accesses come in runs: an op byte naming the kind and one of 64
// register state, a count, then the values of that many accesses of that
// kind to that register (a FIFO's 64 words cost 4 bytes each). A slot is
// (reg >> 2) & 63 and holds the register last announced for it by a SLOT
// record, so accesses to the same few registers never repeat the address. Everything else is rare and carries what it needs. Numbers are
// in the machine's byte order, as the file never leaves the machine that
// wrote it before it is merged.
#pragma once

#include <cstdint>

namespace qxsim::rec {

constexpr char MAGIC[8] = {'Q', 'X', 'R', 'E', 'C', '0', '2', '\n'};

struct FileHeader {
    char magic[8];
    uint32_t pid;
    uint32_t reserved;
};
static_assert(sizeof(FileHeader) == 16, "record file header");

enum Op : uint8_t {
    OP_SLOT = 0x01,     // slot:u8 reg:u32        the register of a slot from now on
    OP_TIME = 0x02,     // ns:u64                 CLOCK_MONOTONIC of the next record
    OP_TIME_LAST = 0x09,  // ns:u64               CLOCK_MONOTONIC of the record before this one
    OP_SEGMENT = 0x03,  // order:u32              a run of this process's records; see below
    OP_FAIL = 0x04,     // kind:u8 reg:u32 err:u32  access the driver refused ('R' or 'W')
    OP_OPEN = 0x05,     // path:u8 err:u32        open of the device node or the proc file
    OP_CLOSE = 0x06,    // path:u8                close of the device node
    OP_PROC = 0x07,     // refused:u8 len:u32 bytes   one write() to the proc file
    OP_END = 0x08,      // how:u8 status:u32      the image ended cleanly (EXIT with its status, or EXEC):
                        //                        nothing lost
    OP_READ = 0x80,     // | slot: count:u8 (1..255), count values:u32
    OP_WRITE = 0xC0,    // | slot: count:u8 (1..255), count values:u32
};
constexpr uint8_t OP_ACCESS = 0x80;
constexpr uint8_t OP_ACCESS_WRITE = 0x40;
constexpr uint8_t SLOT_MASK = 0x3F;
constexpr unsigned SLOTS = 64;

enum PathId : uint8_t { PATH_DEVICE = 0, PATH_PROC = 1 };

enum EndHow : uint8_t { END_EXIT = 0, END_EXEC = 1 };

inline unsigned slot_of(uint32_t reg)
{
    return (reg >> 2) & SLOT_MASK;
}
// A slot's content before its first SLOT record: a register that never maps
// to that slot, so the first access always announces its register.
inline uint32_t slot_sentinel(unsigned slot)
{
    return ((slot + 1) & SLOT_MASK) << 2;
}

// Order of records across processes: every process image maps the shared
// `order` file of the recording folder. Before each access a process checks
// whether it was the last one to touch the hardware; if not, it takes the
// next number from `next_order` and starts a SEGMENT with it. Segments of
// all files sorted by that number give the order in which the processes
// took turns at the driver, without a clock reading per access.
struct OrderPage {
    uint32_t magic;
    uint32_t last_token;  // token of the process image that accessed last
    uint32_t next_order;
    uint32_t next_token;
};
constexpr uint32_t ORDER_MAGIC = 0x5152444f;  // "ODRQ"

// Environment of a recorded command: the recording folder. Without it the
// interposer passes every call on and records nothing.
constexpr const char* ENV_DIR = "QXSIM_RECORD_DIR";

// The recorder reads the clock at every access and writes a reading (the
// merge interpolates between readings) when this long has passed since the
// last one, and around every pause this long between two accesses: every
// access's time is then within this much of the clock at that access.
constexpr uint64_t TIME_SPAN_NS = 25000;

}  // namespace qxsim::rec
