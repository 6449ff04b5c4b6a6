// EPCQ-L serial configuration flash: NOR array of 64 KiB sectors and
// 256-byte pages, block protection from the status register, 3- or 4-byte
// addressing, optional datasheet-like operation times. Knows nothing of the
// controller that drives it.
#pragma once

#include "qxsim/model/fault_table.h"
#include "qxsim/model/flash/epcq_parts.h"
#include "qxsim/model/flash/epcq_state.h"
#include "qxsim/model/flash/flash_store.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace qxsim {

// Datasheet-like typical times used by the timing mode.
constexpr uint32_t EPCQ_ERASE_US = 250000;
constexpr uint32_t EPCQ_PROGRAM_US = 400;
constexpr uint32_t EPCQ_STATUS_US = 400;

enum class FlashResult { ok, refused };

// A power cut inside a sector erase or page program (the torn faults):
// the operation at `addr` (the decoded address; a sector's first byte)
// stopped after its first `landed` bytes of `length`.
struct TornCut {
    bool erase;
    uint32_t addr;
    uint32_t landed;
    uint32_t length;
};

// Sees every change the chip makes to what survives a power cut, in the
// order it takes them: a page program (the address as decoded, the bytes in
// the order they enter the page buffer), a sector erase (its first byte),
// a status register write (the bits stored). Refused operations are not
// changes. The power-cut sweep journals a run through it.
class FlashObserver {
public:
    virtual void page_programmed(uint32_t addr, const uint8_t* data, uint32_t len) = 0;
    virtual void sector_erased(uint32_t addr) = 0;
    virtual void status_written(uint8_t value) = 0;

protected:
    ~FlashObserver() = default;
};

class EpcqFlash {
public:
    EpcqFlash(EpcqState& state, FlashStore& store);

    // Called when a torn-operation fault cuts the power, once the bytes
    // that made it have landed; the operation then returns as done (and
    // is counted when bytes landed). The camera turns its power off when
    // the access in progress has been traced; without a camera the default
    // kills the calling process.
    void set_power_cut(std::function<void(const TornCut&)> cut) { power_cut_ = std::move(cut); }
    void set_observer(FlashObserver* observer) { observer_ = observer; }

    uint32_t capacity() const;
    uint32_t sector_count() const { return capacity() / EPCQ_SECTOR_SIZE; }
    uint8_t read_id() const { return state_.device_id; }
    void set_device_id(uint8_t id) { state_.device_id = id; }
    bool four_byte() const { return state_.four_byte != 0; }
    void enter_4byte() { state_.four_byte = 1; }

    // The byte address the chip decodes for a command's address bytes: only
    // 24 bits travel in 3-byte mode, and the array wraps at its capacity.
    uint32_t decode(uint32_t addr) const;

    void read(uint32_t addr, uint8_t* out, uint32_t len) const;
    // Page program: programming only clears bits; bytes past the end of the
    // page wrap to its start, as the chip's page buffer does.
    FlashResult page_program(uint32_t addr, const uint8_t* data, uint32_t len);
    FlashResult sector_erase(uint32_t addr);
    void write_status(uint8_t value);

    uint8_t status_reg() const { return state_.status_reg; }
    ProtectedRange protected_range() const;
    bool sector_protected(uint32_t sector) const;

    // Datasheet timing: true while the last operation is still running.
    bool busy() const;
    void set_timing(uint8_t mode, uint32_t erase_us, uint32_t program_us, uint32_t status_us);

    // Power-on: volatile state back to defaults, array and protection kept.
    void power_on();
    // A new chip: defaults, fully erased array, whole chip protected.
    void reset();

    FlashStore& store() { return store_; }
    const FlashStore& store() const { return store_; }
    const EpcqState& state() const { return state_; }

    void describe(std::ostream& out) const;
    // The chip's faults, which the serial-flash controller offers beside
    // its own, and their state.
    static const FaultTable& faults();
    FaultSlots& fault_slots() { return state_.faults; }

private:
    void start_busy(uint32_t us);
    FaultSlot& fault(unsigned id) const;
    // True when the address fault fails the operation on the `unit`-sized
    // area holding `addr`.
    bool fails(unsigned id, uint32_t addr, uint32_t unit) const;
    // True when the torn fault cuts this operation short.
    bool torn(unsigned id) const;

    EpcqState& state_;
    FlashStore& store_;
    std::function<void(const TornCut&)> power_cut_;
    FlashObserver* observer_ = nullptr;
};


}  // namespace qxsim
