#include "qxsim/model/fpga/asmi_controller.h"

#include "qxsim/model/flash/release_images.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace qxsim {

namespace {

// The head and level come from the shared state file: whatever another
// process (or a damaged file) left there, they index only the FIFO.
AsmiFifo& fifo(AsmiFifo& f)
{
    if (f.head >= ASMI_FIFO_WORDS)
        f.head %= ASMI_FIFO_WORDS;
    if (f.level > ASMI_FIFO_WORDS)
        f.level = ASMI_FIFO_WORDS;
    return f;
}

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

enum AsmiFault : unsigned { STUCK_BUSY, BUSY, CORRUPT_READ, FIFO_LEVEL, DEVICE_ID };
constexpr FaultEntry asmi_fault_entries[] = {
    stuck_busy_fault("the controller's busy bit never clears"),
    busy_fault("after each command the next K status reads show busy"),
    {"corrupt-read", "ADDR [XOR]", "the word read back for ADDR is XORed with XOR (default 0x1)",
     "corrupt-read takes an address and an optional non-zero XOR mask"},
    {"fifo-level", "wr|rd DELTA [N]", "the FIFO level reads DELTA off (only the Nth read, if given)",
     "fifo-level takes wr or rd, a non-zero offset and optionally N (only the Nth read)", "wr|rd"},
    {"device-id", "ID", "READ ID reports ID", "device-id takes an ID byte"},
};
constexpr FaultAlias asmi_fault_aliases[] = {{"busy-reads", "busy", ""}};
constexpr FaultTable asmi_faults(asmi_fault_entries, asmi_fault_aliases);
constexpr unsigned LEVEL_WR = 0, LEVEL_RD = 1;  // the parts of fifo-level

}  // namespace

QXSIM_REGISTER_TABLE(AsmiController, QXSIM_ASMI_REGISTERS)

AsmiController::AsmiController(AsmiState& state, EpcqFlash& flash, FpgaBoot& boot, const BlockPlace& place)
    : TableBlock(state, place), state_(state), flash_(flash), boot_(boot)
{
    add_faults(asmi_faults, state_.faults);
    add_faults(EpcqFlash::faults(), flash_.fault_slots());
}

FaultSlot& AsmiController::fault(unsigned id, unsigned part) const
{
    return state_.faults.slot[asmi_faults.first(id) + part];
}

void AsmiController::fault_changed(const FaultTable& table, unsigned id, bool set)
{
    if (&table == &asmi_faults && id == BUSY && !set)
        state_.busy_left = 0;
}

bool AsmiController::busy_now() const
{
    return fault(STUCK_BUSY).armed || state_.busy_left > 0 || flash_.busy();
}

uint32_t AsmiController::read_status(const Reg&)
{
    bool busy = false;
    if (FaultSlot& stuck = fault(STUCK_BUSY); stuck.armed) {
        busy = true;
        ++stuck.fired;
    } else if (state_.busy_left > 0) {
        --state_.busy_left;
        busy = true;
        ++fault(BUSY).fired;
    } else {
        busy = flash_.busy();
    }
    return state_.status | (busy ? ASMI_STATUS_BUSY : 0);
}

// The level register reads DELTA off, on every read or only the Nth.
uint32_t AsmiController::read_level(const AsmiFifo& fifo, unsigned part)
{
    uint32_t level = fifo.level;
    if (FaultSlot& f = fault(FIFO_LEVEL, part); f.armed) {
        const uint64_t nth = f.arg[1];
        if (nth == 0 || ++f.seen == nth) {
            ++f.fired;
            level += static_cast<uint32_t>(f.arg[0]);
        }
    }
    return level;
}

uint32_t AsmiController::read_wr_level(const Reg&)
{
    return read_level(fifo(state_.wr), LEVEL_WR);
}

uint32_t AsmiController::read_rd_level(const Reg&)
{
    return read_level(fifo(state_.rd), LEVEL_RD);
}

uint32_t AsmiController::pop_rd_fifo(const Reg&)
{
    if (fifo(state_.rd).level == 0) {
        ++state_.rd_underflows;
        return 0;
    }
    return fifo_pop(state_.rd);
}

void AsmiController::push_wr_fifo(const Reg&, uint32_t value)
{
    if (fifo(state_.wr).level == ASMI_FIFO_WORDS)
        ++state_.wr_overflows;  // a full FIFO drops the word
    else
        fifo_push(state_.wr, value);
}

void AsmiController::reconfigure(const Reg&, uint32_t value)
{
    if (value & ASMI_RECONFIG_START) {
        ++state_.reconfigs;
        if (reload_)
            reload_(reload_context_);
        else
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
        if (FaultSlot& f = fault(DEVICE_ID); f.armed) {
            id = static_cast<uint32_t>(f.arg[0]);
            ++f.fired;
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
    const FaultSlot& busy = fault(BUSY);
    state_.busy_left = busy.armed ? static_cast<uint32_t>(busy.arg[0]) : 0;
}

void AsmiController::write_to_flash(bool image)
{
    ++(image ? state_.image_writes : state_.plain_writes);
    const uint32_t len = state_.length;
    const uint32_t words = len / 4 + (len % 4 != 0);
    if (words > fifo(state_.wr).level) {
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
    const uint32_t room = ASMI_FIFO_WORDS - fifo(state_.rd).level;
    const uint32_t fit = words < room ? words : room;
    state_.rd_overflows += words - fit;

    // Whole words are clocked in: the bytes of a last partial word beyond
    // the length are the flash bytes that follow.
    uint8_t bytes[ASMI_FIFO_WORDS * 4];
    flash_.read(state_.addr, bytes, fit * 4);
    FaultSlot& corrupt = fault(CORRUPT_READ);
    const uint32_t corrupt_at = static_cast<uint32_t>(corrupt.arg[0]) - state_.addr;
    const uint32_t corrupt_xor = corrupt.given & 2 ? static_cast<uint32_t>(corrupt.arg[1]) : 1;
    for (uint32_t i = 0; i < fit; ++i) {
        uint32_t w = bytes[4 * i] | (bytes[4 * i + 1] << 8) | (bytes[4 * i + 2] << 16) |
                     (static_cast<uint32_t>(bytes[4 * i + 3]) << 24);
        if (corrupt.armed && corrupt_at < fit * 4 && corrupt_at / 4 == i) {
            w ^= corrupt_xor;
            ++corrupt.fired;
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
                       std::min(state_.wr.level, ASMI_FIFO_WORDS), ASMI_FIFO_WORDS,
                       std::min(state_.rd.level, ASMI_FIFO_WORDS), ASMI_FIFO_WORDS, state_.wr_overflows,
                       state_.rd_overflows, state_.rd_underflows);
    out << fmt::format("  commands {} (ignored while busy {}, unknown {}, clears {}), writes {} "
                       "image + {} plain, reads {} image + {} plain\n",
                       state_.commands, state_.ignored_busy, state_.unknown_commands, state_.clears,
                       state_.image_writes, state_.plain_writes, state_.image_reads, state_.plain_reads);
    out << fmt::format("  failed writes {} (short of FIFO data {}), failed erases {}, reconfigurations {}\n",
                       state_.failed_writes, state_.short_writes, state_.failed_erases, state_.reconfigs);
    flash_.describe(out);
    boot_.describe(out);

    describe_faults(out);
}

}  // namespace qxsim
