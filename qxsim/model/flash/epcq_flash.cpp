#include "qxsim/model/flash/epcq_flash.h"

#include <fmt/format.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace qxsim {

namespace {

enum EpcqFault : unsigned { ERASE_ERROR, WRITE_ERROR, TORN_PROGRAM, TORN_ERASE };
constexpr FaultEntry epcq_fault_entries[] = {
    {"erase-error", "ADDR", "erasing the sector that holds ADDR fails (erase error bit)",
     "erase-error takes one address"},
    {"write-error", "ADDR", "programming the page that holds ADDR fails (write error bit)",
     "write-error takes one address"},
    {"torn-program", "N BYTES", "power cut in the Nth page program: only its first BYTES bytes",
     "torn-program takes N (1 = next operation) and a byte count"},
    {"torn-erase", "N BYTES", "power cut in the Nth sector erase: only its first BYTES bytes",
     "torn-erase takes N (1 = next operation) and a byte count"},
};
constexpr FaultTable epcq_faults(epcq_fault_entries);

int64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void kill_self(const TornCut&)
{
    // Power gone: the chip stops wherever it is and so does the tool.
    kill(getpid(), SIGKILL);
}

}  // namespace

EpcqFlash::EpcqFlash(EpcqState& state, FlashStore& store) : state_(state), store_(store), power_cut_(kill_self) {}

uint32_t EpcqFlash::capacity() const
{
    return epcq_capacity(state_.device_id);
}

uint32_t EpcqFlash::decode(uint32_t addr) const
{
    if (!state_.four_byte)
        addr &= 0xFFFFFF;
    return addr & (capacity() - 1);
}

void EpcqFlash::read(uint32_t addr, uint8_t* out, uint32_t len) const
{
    uint32_t a = decode(addr);
    const uint32_t cap = capacity();
    while (len > 0) {
        uint32_t chunk = std::min(len, cap - a);
        store_.read(a, out, chunk);
        out += chunk;
        len -= chunk;
        a = 0;
    }
}

ProtectedRange EpcqFlash::protected_range() const
{
    return epcq_protected_range(state_.status_reg, sector_count());
}

bool EpcqFlash::sector_protected(uint32_t sector) const
{
    ProtectedRange r = protected_range();
    return sector >= r.first_sector && sector < r.first_sector + r.sectors;
}

FaultSlot& EpcqFlash::fault(unsigned id) const
{
    return state_.faults.slot[epcq_faults.first(id)];
}

bool EpcqFlash::fails(unsigned id, uint32_t addr, uint32_t unit) const
{
    FaultSlot& f = fault(id);
    if (!f.armed || (static_cast<uint32_t>(f.arg[0]) & ~(unit - 1)) != addr)
        return false;
    ++f.fired;
    return true;
}

// The Nth operation of its kind since the fault was set; used up then.
bool EpcqFlash::torn(unsigned id) const
{
    FaultSlot& f = fault(id);
    if (!f.armed || ++f.seen != f.arg[0])
        return false;
    f.armed = 0;
    ++f.fired;
    return true;
}

FlashResult EpcqFlash::page_program(uint32_t addr, const uint8_t* data, uint32_t len)
{
    const uint32_t a = decode(addr);
    const uint32_t page = a & ~(EPCQ_PAGE_SIZE - 1);
    if (len == 0)
        return FlashResult::ok;
    if (sector_protected(a / EPCQ_SECTOR_SIZE) || fails(WRITE_ERROR, page, EPCQ_PAGE_SIZE)) {
        ++state_.refused_programs;
        return FlashResult::refused;
    }
    if (observer_)
        observer_->page_programmed(a, data, len);
    uint32_t limit = len;
    bool cut = torn(TORN_PROGRAM);
    if (cut)
        limit = static_cast<uint32_t>(std::min<uint64_t>(len, fault(TORN_PROGRAM).arg[1]));

    // Bytes go into the page buffer at the address's column and wrap at the
    // end of the page.
    bool unerased = false;
    uint32_t col = a & (EPCQ_PAGE_SIZE - 1);
    for (uint32_t done = 0; done < limit;) {
        uint32_t chunk = std::min(limit - done, EPCQ_PAGE_SIZE - col);
        unerased |= store_.needs_erase(page + col, data + done, chunk);
        store_.program(page + col, data + done, chunk);
        done += chunk;
        col = 0;
    }
    if (limit > 0) {
        ++state_.programs;
        if (unerased)
            ++state_.unerased_programs;
    }
    if (cut) {
        power_cut_(TornCut{false, a, limit, len});
        return FlashResult::ok;
    }
    start_busy(state_.program_us);
    return FlashResult::ok;
}

FlashResult EpcqFlash::sector_erase(uint32_t addr)
{
    const uint32_t a = decode(addr) & ~(EPCQ_SECTOR_SIZE - 1);
    if (sector_protected(a / EPCQ_SECTOR_SIZE) || fails(ERASE_ERROR, a, EPCQ_SECTOR_SIZE)) {
        ++state_.refused_erases;
        return FlashResult::refused;
    }
    if (observer_)
        observer_->sector_erased(a);
    if (torn(TORN_ERASE)) {
        const auto landed = static_cast<uint32_t>(std::min<uint64_t>(EPCQ_SECTOR_SIZE, fault(TORN_ERASE).arg[1]));
        store_.erase(a, landed);
        if (landed > 0)
            ++state_.erases;
        power_cut_(TornCut{true, a, landed, EPCQ_SECTOR_SIZE});
        return FlashResult::ok;
    }
    store_.erase(a, EPCQ_SECTOR_SIZE);
    ++state_.erases;
    start_busy(state_.erase_us);
    return FlashResult::ok;
}

void EpcqFlash::write_status(uint8_t value)
{
    state_.status_reg = value & EPCQ_SR_PROTECT_MASK;
    if (observer_)
        observer_->status_written(state_.status_reg);
    start_busy(state_.status_us);
}

void EpcqFlash::start_busy(uint32_t us)
{
    if (state_.timing == EPCQ_TIMING_DATASHEET)
        state_.busy_until_ns = monotonic_ns() + static_cast<int64_t>(us) * 1000;
}

bool EpcqFlash::busy() const
{
    return state_.timing == EPCQ_TIMING_DATASHEET && monotonic_ns() < state_.busy_until_ns;
}

void EpcqFlash::set_timing(uint8_t mode, uint32_t erase_us, uint32_t program_us, uint32_t status_us)
{
    state_.timing = mode;
    state_.erase_us = erase_us;
    state_.program_us = program_us;
    state_.status_us = status_us;
    state_.busy_until_ns = 0;
}

void EpcqFlash::power_on()
{
    state_.four_byte = 0;
    state_.busy_until_ns = 0;
}

void EpcqFlash::reset()
{
    std::memset(&state_, 0, sizeof state_);
    state_.device_id = EPCQ_ID_L1024;
    state_.status_reg = EPCQ_PROTECT_ALL;
    set_timing(EPCQ_TIMING_INSTANT, EPCQ_ERASE_US, EPCQ_PROGRAM_US, EPCQ_STATUS_US);
    store_.erase(0, FlashStore::kSize);
}

void EpcqFlash::describe(std::ostream& out) const
{
    ProtectedRange r = protected_range();
    const EpcqPart* part = epcq_part(state_.device_id);
    out << fmt::format("  chip {} (ID 0x{:02X}), {} MiB, {} addressing, timing ", part ? part->name : "unknown device",
                       state_.device_id, capacity() >> 20, state_.four_byte ? "4-byte" : "3-byte");
    if (state_.timing == EPCQ_TIMING_DATASHEET)
        out << fmt::format("datasheet (erase {} us, page program {} us, status write {} us){}\n", state_.erase_us,
                           state_.program_us, state_.status_us, busy() ? ", busy" : "");
    else
        out << "instant\n";
    if (r.sectors == 0)
        out << fmt::format("  protection 0x{:02X}: nothing protected\n", state_.status_reg);
    else
        out << fmt::format("  protection 0x{:02X}: sectors {}..{} (0x{:07X}..0x{:07X}) protected\n", state_.status_reg,
                           r.first_sector, r.first_sector + r.sectors - 1, r.first_sector * EPCQ_SECTOR_SIZE,
                           (r.first_sector + r.sectors) * EPCQ_SECTOR_SIZE - 1);
    out << fmt::format("  sector erases {}, page programs {}, refused erases {}, refused programs {}, "
                       "programs over unerased bits {}\n",
                       state_.erases, state_.programs, state_.refused_erases, state_.refused_programs,
                       state_.unerased_programs);
}

const FaultTable& EpcqFlash::faults()
{
    return epcq_faults;
}

}  // namespace qxsim
