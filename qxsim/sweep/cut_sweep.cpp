#include "qxsim/sweep/cut_sweep.h"

#include "qxsim/model/flash/epcq_flash.h"
#include "qxsim/model/flash/fpga_boot.h"

#include <algorithm>
#include <cstring>

namespace qxsim {

const char* verdict_name(CutVerdict v)
{
    switch (v) {
    case CutVerdict::old_image: return "old application";
    case CutVerdict::factory: return "factory";
    case CutVerdict::new_image: return "new application";
    default: return "bricked";
    }
}

const char* verdict_word(CutVerdict v)
{
    switch (v) {
    case CutVerdict::old_image: return "old";
    case CutVerdict::factory: return "factory";
    case CutVerdict::new_image: return "new";
    default: return "bricked";
    }
}

std::vector<uint32_t> torn_cuts(const FlashChange& change)
{
    const uint32_t n = change.length;
    std::vector<uint32_t> at;
    for (uint32_t b : {0u, 1u, n / 2, n - 1})
        if (b < n && (at.empty() || b > at.back()))
            at.push_back(b);
    return at;
}

namespace {

constexpr uint32_t SECTORS = FlashStore::kSize / EPCQ_SECTOR_SIZE;
constexpr uint32_t FACTORY_SECTORS = APP_REGION_BASE / EPCQ_SECTOR_SIZE;
constexpr uint32_t RECORD_SECTOR = OFFSET_RECORD_ADDR / EPCQ_SECTOR_SIZE;

enum Region : uint8_t { REGION_FACTORY, REGION_APPLICATION, REGION_OTHER };

Region region_of(uint32_t sector)
{
    if (sector < FACTORY_SECTORS)
        return REGION_FACTORY;
    if (sector < APP_REGION_END / EPCQ_SECTOR_SIZE)
        return REGION_APPLICATION;
    return REGION_OTHER;
}

// The array of the cut state over the sectors the run touched, beside the
// same sectors before the run and after it.
class CutState {
public:
    CutState(const SweepInput& in) : in_(in), slot_(SECTORS, -1)
    {
        for (const FlashChange& c : in.journal->changes)
            if (c.kind != FLASH_STATUS)
                add_sector(c.addr / EPCQ_SECTOR_SIZE);
        const size_t bytes = sectors_.size() * size_t(EPCQ_SECTOR_SIZE);
        cur_.resize(bytes);
        before_.resize(bytes);
        after_.resize(bytes);
        for (size_t i = 0; i < sectors_.size(); i++) {
            const uint32_t a = sectors_[i] * EPCQ_SECTOR_SIZE;
            const size_t at = i * EPCQ_SECTOR_SIZE;
            in.before->read(a, &before_[at], EPCQ_SECTOR_SIZE);
            in.after->read(a, &after_[at], EPCQ_SECTOR_SIZE);
            if (region_of(sectors_[i]) == REGION_APPLICATION)
                diff_after_ += count_diff(&before_[at], &after_[at]);
        }
        cur_ = before_;
        protection_ = in.protection_before;

        uint8_t raw[12];
        in.before->read(OFFSET_RECORD_ADDR, raw, sizeof raw);
        initial_ = FpgaBoot::choose(raw);
        in.after->read(OFFSET_RECORD_ADDR, raw, sizeof raw);
        final_ = FpgaBoot::choose(raw);
        if (slot_[RECORD_SECTOR] < 0)
            in.before->read(OFFSET_RECORD_ADDR, record_, sizeof record_);
    }

    // Applies bytes [from, to) of the change, in the order the chip takes them.
    void apply(const FlashChange& c, uint32_t from, uint32_t to)
    {
        if (c.kind == FLASH_STATUS) {
            protection_ = c.status;
            dirty_ = true;
            return;
        }
        if (c.kind == FLASH_ERASE) {
            const size_t base = size_t(slot_[c.addr / EPCQ_SECTOR_SIZE]) * EPCQ_SECTOR_SIZE;
            const Region r = region_of(c.addr / EPCQ_SECTOR_SIZE);
            for (uint32_t i = from; i < to; i++)
                set(base + i, 0xFF, r);
            return;
        }
        // Page program: AND into the array, bytes past the page's end
        // wrapping to its start.
        const uint32_t page = c.addr & ~(EPCQ_PAGE_SIZE - 1), col = c.addr & (EPCQ_PAGE_SIZE - 1);
        const size_t base = size_t(slot_[page / EPCQ_SECTOR_SIZE]) * EPCQ_SECTOR_SIZE + page % EPCQ_SECTOR_SIZE;
        const Region r = region_of(page / EPCQ_SECTOR_SIZE);
        const uint8_t* data = &in_.journal->bytes[c.data];
        for (uint32_t i = from; i < to; i++) {
            const size_t at = base + ((col + i) & (EPCQ_PAGE_SIZE - 1));
            set(at, cur_[at] & data[i], r);
        }
    }

    void judge(CutPoint* p)
    {
        if (dirty_) {
            verdict_ = decide();
            dirty_ = false;
        }
        p->verdict = verdict_;
        p->protection = protection_;
        p->factory_changed = diff_factory_ != 0;
    }

private:
    void add_sector(uint32_t sector)
    {
        if (slot_[sector] >= 0)
            return;
        slot_[sector] = static_cast<int32_t>(sectors_.size());
        sectors_.push_back(sector);
    }

    static uint64_t count_diff(const uint8_t* a, const uint8_t* b)
    {
        uint64_t n = 0;
        for (uint32_t i = 0; i < EPCQ_SECTOR_SIZE; i++)
            n += a[i] != b[i];
        return n;
    }

    void set(size_t at, uint8_t v, Region r)
    {
        const uint8_t was = cur_[at];
        if (was == v)
            return;
        if (r == REGION_APPLICATION) {
            diff_before_ += int64_t(v != before_[at]) - int64_t(was != before_[at]);
            diff_after_ += int64_t(v != after_[at]) - int64_t(was != after_[at]);
        } else if (r == REGION_FACTORY) {
            diff_factory_ += int64_t(v != before_[at]) - int64_t(was != before_[at]);
        }
        cur_[at] = v;
        dirty_ = true;
    }

    CutVerdict decide()
    {
        const uint8_t* record = record_;
        if (slot_[RECORD_SECTOR] >= 0)
            record = &cur_[size_t(slot_[RECORD_SECTOR]) * EPCQ_SECTOR_SIZE + OFFSET_RECORD_ADDR % EPCQ_SECTOR_SIZE];
        const BootChoice c = FpgaBoot::choose(record);
        if (c.image != BOOT_APPLICATION)
            return diff_factory_ ? CutVerdict::bricked : CutVerdict::factory;
        if (diff_after_ == 0 && final_.image == BOOT_APPLICATION && final_.base == c.base)
            return CutVerdict::new_image;
        if (diff_before_ == 0 && initial_.image == BOOT_APPLICATION && initial_.base == c.base)
            return CutVerdict::old_image;
        return CutVerdict::bricked;
    }

    const SweepInput& in_;
    std::vector<int32_t> slot_;  // by sector: its place in the arrays below, or -1
    std::vector<uint32_t> sectors_;
    std::vector<uint8_t> cur_, before_, after_;
    int64_t diff_before_ = 0, diff_after_ = 0, diff_factory_ = 0;
    uint8_t protection_ = 0;
    uint8_t record_[12] = {};  // when the run never touched the offset sector
    BootChoice initial_{}, final_{};
    bool dirty_ = true;
    CutVerdict verdict_ = CutVerdict::factory;
};

}  // namespace

void sweep_cuts(const SweepInput& in, const std::function<void(const CutPoint&)>& visit)
{
    CutState state(in);
    const std::vector<FlashChange>& changes = in.journal->changes;
    size_t next = 0;  // first change not yet applied
    size_t drawn = 0;
    for (uint64_t k = 1; k <= in.accesses; k++) {
        const bool judged = !in.sample || (drawn < in.sample->size() && (*in.sample)[drawn] == k);
        if (judged) {
            drawn++;
            CutPoint p;
            p.access = k;
            state.judge(&p);
            visit(p);
        }
        // The changes access k makes, each cut inside itself first.
        for (; next < changes.size() && changes[next].access - in.first_access <= k; next++) {
            const FlashChange& c = changes[next];
            uint32_t done = 0;
            if (judged && in.torn && c.kind != FLASH_STATUS) {
                for (uint32_t b : torn_cuts(c)) {
                    state.apply(c, done, b);
                    done = b;
                    CutPoint p;
                    p.access = k;
                    p.torn = &c;
                    p.torn_bytes = b;
                    state.judge(&p);
                    visit(p);
                }
            }
            state.apply(c, done, c.kind == FLASH_STATUS ? 0 : c.length);
        }
    }
}

}  // namespace qxsim
