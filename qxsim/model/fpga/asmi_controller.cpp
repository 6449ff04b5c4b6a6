#include "qxsim/model/fpga/asmi_controller.h"

#include "qxsim/model/flash/release_images.h"
#include "qxsim/trace/parse.h"

#include <fmt/format.h>

#include <cstring>

namespace qxsim {

namespace {

void fifo_push(AsmiFifo& f, uint32_t word)
{
    f.words[(f.head + f.level) % ASMI_FIFO_WORDS] = word;
    ++f.level;
}

uint32_t fifo_pop(AsmiFifo& f)
{
    uint32_t word = f.words[f.head];
    f.head = (f.head + 1) % ASMI_FIFO_WORDS;
    --f.level;
    return word;
}

void fifo_empty(AsmiFifo& f)
{
    f.head = 0;
    f.level = 0;
}

// A level offset: a number as parse_u32 takes it, with an optional minus.
bool parse_i32(const std::string& text, int32_t* value)
{
    bool negative = !text.empty() && text[0] == '-';
    uint32_t magnitude;
    if (!parse_u32(negative ? text.substr(1) : text, &magnitude) || magnitude > (negative ? 0x80000000u : 0x7FFFFFFFu))
        return false;
    *value = negative ? static_cast<int32_t>(0u - magnitude) : static_cast<int32_t>(magnitude);
    return true;
}

using Args = std::vector<std::string>;

void describe_level_fault(const AsmiLevelFault& l, const char* fifo, std::ostream& out)
{
    if (!l.armed)
        return;
    out << fmt::format("  fault fifo-level {} {} {}, fired {}\n", fifo, l.delta, l.nth, l.fired);
}

const FaultEntry<AsmiState> asmi_fault_entries[] = {
    {"stuck-busy", "", "the controller's busy bit never clears",
     [](AsmiState& s, const Args& args, std::string* error) {
         if (!args.empty()) {
             *error = "stuck-busy takes no argument";
             return false;
         }
         s.faults.stuck_busy = 1;
         return true;
     },
     [](AsmiState& s) { s.faults.stuck_busy = 0; },
     [](const AsmiState& s, std::ostream& out) {
         if (!s.faults.stuck_busy)
             return;
         out << fmt::format("  fault stuck-busy, fired {}\n", s.faults.stuck_busy_fired);
     }},
    {"busy-reads", "K", "after each command the next K status reads show busy",
     [](AsmiState& s, const Args& args, std::string* error) {
         uint32_t k;
         if (args.size() != 1 || !parse_u32(args[0], &k)) {
             *error = "busy-reads takes a number of status reads";
             return false;
         }
         s.faults.busy_reads = k;
         return true;
     },
     // a pending count goes with the fault
     [](AsmiState& s) {
         s.faults.busy_reads = 0;
         s.busy_left = 0;
     },
     [](const AsmiState& s, std::ostream& out) {
         if (!s.faults.busy_reads)
             return;
         out << fmt::format("  fault busy-reads {}, fired {}\n", s.faults.busy_reads, s.faults.busy_reads_fired);
     }},
    {"corrupt-read", "ADDR [XOR]", "the word read back for ADDR is XORed with XOR (default 0x1)",
     [](AsmiState& s, const Args& args, std::string* error) {
         uint32_t addr, mask = 0x00000001;
         if (args.empty() || args.size() > 2 || !parse_u32(args[0], &addr) ||
             (args.size() == 2 && (!parse_u32(args[1], &mask) || mask == 0))) {
             *error = "corrupt-read takes an address and an optional non-zero XOR mask";
             return false;
         }
         s.faults.corrupt_armed = 1;
         s.faults.corrupt_addr = addr;
         s.faults.corrupt_xor = mask;
         return true;
     },
     [](AsmiState& s) { s.faults.corrupt_armed = 0; },
     [](const AsmiState& s, std::ostream& out) {
         if (!s.faults.corrupt_armed)
             return;
         out << fmt::format("  fault corrupt-read 0x{:08X} 0x{:08X}, fired {}\n", s.faults.corrupt_addr,
                            s.faults.corrupt_xor, s.faults.corrupt_fired);
     }},
    {"fifo-level", "wr|rd DELTA [N]", "the FIFO level reads DELTA off (only the Nth read, if given)",
     [](AsmiState& s, const Args& args, std::string* error) {
         int32_t delta;
         uint32_t nth = 0;
         if (args.size() < 2 || args.size() > 3 || (args[0] != "wr" && args[0] != "rd") ||
             !parse_i32(args[1], &delta) || delta == 0 ||
             (args.size() == 3 && (!parse_u32(args[2], &nth) || nth == 0))) {
             *error = "fifo-level takes wr or rd, a non-zero offset and optionally N (only the Nth read)";
             return false;
         }
         AsmiLevelFault& l = args[0] == "wr" ? s.faults.wr_level : s.faults.rd_level;
         l = AsmiLevelFault{1, delta, nth, 0, 0};
         return true;
     },
     [](AsmiState& s) {
         s.faults.wr_level.armed = 0;
         s.faults.rd_level.armed = 0;
     },
     [](const AsmiState& s, std::ostream& out) {
         describe_level_fault(s.faults.wr_level, "wr", out);
         describe_level_fault(s.faults.rd_level, "rd", out);
     }},
    {"device-id", "ID", "READ ID reports ID",
     [](AsmiState& s, const Args& args, std::string* error) {
         uint32_t id;
         if (args.size() != 1 || !parse_u32(args[0], &id) || id > 0xFF) {
             *error = "device-id takes an ID byte";
             return false;
         }
         s.faults.id_armed = 1;
         s.faults.id_value = id;
         return true;
     },
     [](AsmiState& s) { s.faults.id_armed = 0; },
     [](const AsmiState& s, std::ostream& out) {
         if (!s.faults.id_armed)
             return;
         out << fmt::format("  fault device-id 0x{:02X}, fired {}\n", s.faults.id_value, s.faults.id_fired);
     }},
};

const FaultTable<AsmiState> asmi_faults(asmi_fault_entries);

}  // namespace

const AsmiController::Reg AsmiController::table_[] = {QXSIM_ASMI_REGISTERS(QXSIM_REGISTER_ROW)};

const AsmiController::Map& AsmiController::map()
{
    static const Map m(table_);
    return m;
}

AsmiController::AsmiController(AsmiState& state, EpcqFlash& flash, FpgaBoot& boot, const BlockPlace& place)
    : TableBlock(map(), state, place.name, place.prefix, place.base), state_(state), flash_(flash), boot_(boot)
{}

bool AsmiController::busy_now() const
{
    return state_.faults.stuck_busy || state_.busy_left > 0 || flash_.busy();
}

uint32_t AsmiController::read_status(const Reg&)
{
    AsmiFaults& f = state_.faults;
    bool busy = false;
    if (f.stuck_busy) {
        busy = true;
        ++f.stuck_busy_fired;
    } else if (state_.busy_left > 0) {
        --state_.busy_left;
        busy = true;
        ++f.busy_reads_fired;
    } else {
        busy = flash_.busy();
    }
    return state_.status | (busy ? ASMI_STATUS_BUSY : 0);
}

uint32_t AsmiController::read_level(const AsmiFifo& fifo, AsmiLevelFault& fault)
{
    uint32_t level = fifo.level;
    if (fault.armed) {
        ++fault.seen;
        if (fault.nth == 0 || fault.seen == fault.nth) {
            ++fault.fired;
            level += static_cast<uint32_t>(fault.delta);
        }
    }
    return level;
}

uint32_t AsmiController::read_wr_level(const Reg&)
{
    return read_level(state_.wr, state_.faults.wr_level);
}

uint32_t AsmiController::read_rd_level(const Reg&)
{
    return read_level(state_.rd, state_.faults.rd_level);
}

uint32_t AsmiController::pop_rd_fifo(const Reg&)
{
    if (state_.rd.level == 0) {
        ++state_.rd_underflows;
        return 0;
    }
    return fifo_pop(state_.rd);
}

void AsmiController::push_wr_fifo(const Reg&, uint32_t value)
{
    if (state_.wr.level == ASMI_FIFO_WORDS)
        ++state_.wr_overflows;  // a full FIFO drops the word
    else
        fifo_push(state_.wr, value);
}

void AsmiController::reconfigure(const Reg&, uint32_t value)
{
    if (value & ASMI_RECONFIG_START) {
        ++state_.reconfigs;
        logic_reset();
        boot_.configure(BOOT_BY_RECONFIG);
    }
}

// The table has stored the command in ASMI_CMD already.
void AsmiController::command(const Reg&, uint32_t value)
{
    ++state_.commands;
    if (value & ASMI_CLEAR) {
        clear();
        return;
    }
    if (value == 0)
        return;
    // The controller runs one operation at a time; a command written while
    // it is busy is lost.
    if (busy_now()) {
        ++state_.ignored_busy;
        return;
    }
    const bool image = value & ASMI_IMAGE_DATA;
    switch (value & ~ASMI_IMAGE_DATA) {
    case ASMI_4BYTE_MODE: flash_.enter_4byte(); break;
    case ASMI_READ_ID: {
        uint32_t id = flash_.read_id();
        if (state_.faults.id_armed) {
            id = state_.faults.id_value;
            ++state_.faults.id_fired;
        }
        state_.status = with_field(state_.status, ASMI_STATUS_ID, id);
        break;
    }
    case ASMI_WRITE: write_to_flash(image); break;
    case ASMI_READ: read_from_flash(image); break;
    case ASMI_PROTECT: flash_.write_status(static_cast<uint8_t>(state_.protect_code)); break;
    case ASMI_SECTOR_ERASE:
        if (flash_.sector_erase(state_.addr) != FlashResult::ok) {
            state_.status |= ASMI_STATUS_ERASE_ERR;
            ++state_.failed_erases;
        }
        break;
    default: ++state_.unknown_commands; return;
    }
    state_.busy_left = state_.faults.busy_reads;
}

void AsmiController::write_to_flash(bool image)
{
    ++(image ? state_.image_writes : state_.plain_writes);
    const uint32_t len = state_.length;
    const uint32_t words = len / 4 + (len % 4 != 0);
    if (words > state_.wr.level) {
        // Not enough data for the length: the controller gives up on the
        // page and drops what it had.
        ++state_.short_writes;
        ++state_.failed_writes;
        fifo_empty(state_.wr);
        state_.status |= ASMI_STATUS_WRITE_ERR;
        return;
    }
    uint8_t page[ASMI_FIFO_WORDS * 4];
    for (uint32_t i = 0; i < words; ++i) {
        uint32_t w = fifo_pop(state_.wr);
        page[4 * i] = static_cast<uint8_t>(w);
        page[4 * i + 1] = static_cast<uint8_t>(w >> 8);
        page[4 * i + 2] = static_cast<uint8_t>(w >> 16);
        page[4 * i + 3] = static_cast<uint8_t>(w >> 24);
    }
    if (flash_.page_program(state_.addr, page, len) != FlashResult::ok) {
        state_.status |= ASMI_STATUS_WRITE_ERR;
        ++state_.failed_writes;
    }
}

void AsmiController::read_from_flash(bool image)
{
    ++(image ? state_.image_reads : state_.plain_reads);
    const uint32_t len = state_.length;
    const uint32_t words = len / 4 + (len % 4 != 0);
    const uint32_t room = ASMI_FIFO_WORDS - state_.rd.level;
    const uint32_t fit = words < room ? words : room;
    state_.rd_overflows += words - fit;

    // Whole words are clocked in: the bytes of a last partial word beyond
    // the length are the flash bytes that follow.
    uint8_t bytes[ASMI_FIFO_WORDS * 4];
    flash_.read(state_.addr, bytes, fit * 4);
    const AsmiFaults& f = state_.faults;
    for (uint32_t i = 0; i < fit; ++i) {
        uint32_t w = bytes[4 * i] | (bytes[4 * i + 1] << 8) | (bytes[4 * i + 2] << 16) |
                     (static_cast<uint32_t>(bytes[4 * i + 3]) << 24);
        if (f.corrupt_armed && f.corrupt_addr - state_.addr < fit * 4 && (f.corrupt_addr - state_.addr) / 4 == i) {
            w ^= f.corrupt_xor;
            ++state_.faults.corrupt_fired;
        }
        fifo_push(state_.rd, w);
    }
}

void AsmiController::clear()
{
    ++state_.clears;
    fifo_empty(state_.wr);
    fifo_empty(state_.rd);
    state_.busy_left = 0;
}

void AsmiController::logic_reset()
{
    reset_registers();
    state_.busy_left = 0;
    fifo_empty(state_.wr);
    fifo_empty(state_.rd);
}

void AsmiController::reset()
{
    std::memset(&state_, 0, sizeof state_);
    reset_registers();
    flash_.reset();
    std::vector<uint8_t> factory = make_image(factory_image);
    flash_.store().load(FACTORY_IMAGE_BASE, factory.data(), static_cast<uint32_t>(factory.size()));
    boot_.reset();
    boot_.configure(BOOT_BY_POWER_ON);
}

void AsmiController::power_on()
{
    logic_reset();
    flash_.power_on();
    boot_.configure(BOOT_BY_POWER_ON);
}

void AsmiController::describe(std::ostream& out) const
{
    out << "Serial-flash controller asmi at 0x1000..0x1040, with the EPCQ-L flash and the FPGA's configuration\n";
    const uint32_t status = state_.status | (busy_now() ? ASMI_STATUS_BUSY : 0);
    // the command, address, length and protect code are on the registers line
    out << fmt::format("  status 0x{:08X} ({}{}{}), ID field 0x{:02X}\n", status,
                       status & ASMI_STATUS_BUSY ? "busy" : "idle", status & ASMI_STATUS_ERASE_ERR ? ", erase error" : "",
                       status & ASMI_STATUS_WRITE_ERR ? ", write error" : "",
                       field_value(status, ASMI_STATUS_ID));
    out << fmt::format("  write FIFO {}/{} words, read FIFO {}/{} words (lost: {} pushed into a full "
                       "write FIFO, {} read words, {} pops of an empty read FIFO)\n",
                       state_.wr.level, ASMI_FIFO_WORDS, state_.rd.level, ASMI_FIFO_WORDS, state_.wr_overflows,
                       state_.rd_overflows, state_.rd_underflows);
    out << fmt::format("  commands {} (ignored while busy {}, unknown {}, clears {}), writes {} "
                       "image + {} plain, reads {} image + {} plain\n",
                       state_.commands, state_.ignored_busy, state_.unknown_commands, state_.clears,
                       state_.image_writes, state_.plain_writes, state_.image_reads, state_.plain_reads);
    out << fmt::format("  failed writes {} (short of FIFO data {}), failed erases {}, reconfigurations {}\n",
                       state_.failed_writes, state_.short_writes, state_.failed_erases, state_.reconfigs);
    flash_.describe(out);
    boot_.describe(out);

    asmi_faults.describe(state_, out);
    flash_.describe_faults(out);
}

bool AsmiController::set_fault(const std::string& fault, const std::vector<std::string>& args, std::string* error)
{
    if (!asmi_faults.find(fault) && epcq_faults.find(fault))
        return flash_.set_fault(fault, args, error);
    return asmi_faults.set(state_, fault, args, name(), error);
}

void AsmiController::clear_faults()
{
    asmi_faults.clear_all(state_);
    flash_.clear_faults();
}

bool AsmiController::clear_fault(const std::string& fault, std::string* error)
{
    if (!asmi_faults.find(fault) && epcq_faults.find(fault))
        return flash_.clear_fault(fault, error);
    return asmi_faults.clear(state_, fault, name(), error);
}

void AsmiController::list_faults(std::ostream& out) const
{
    asmi_faults.list(out);
    flash_.list_faults(out);
}

}  // namespace qxsim
