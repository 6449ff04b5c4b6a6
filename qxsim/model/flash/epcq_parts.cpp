#include "qxsim/model/flash/epcq_parts.h"

#include "qxsim/model/flash/flash_store.h"

#include <algorithm>

namespace qxsim {

const EpcqPart EPCQ_PARTS[3] = {
    {0x19, "EPCQ-L256", 32u << 20},
    {0x20, "EPCQ-L512", 64u << 20},
    {EPCQ_ID_L1024, "EPCQ-L1024", 128u << 20},
};

const EpcqPart* epcq_part(uint8_t id)
{
    for (const EpcqPart& p : EPCQ_PARTS)
        if (p.id == id)
            return &p;
    return nullptr;
}

uint32_t epcq_capacity(uint8_t id)
{
    const EpcqPart* p = epcq_part(id);
    return p ? p->capacity : FlashStore::kSize;
}

// Sectors protected for each value of BP3..BP0: none, then the lowest or
// highest 2^(n-1) sectors (TB selects which end), up to the whole chip.
ProtectedRange epcq_protected_range(uint8_t sr, uint32_t sectors)
{
    static const uint32_t protected_sectors[16] = {
        0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 2048, 2048, 2048,
    };
    unsigned bp = ((sr & EPCQ_SR_BP3) ? 8 : 0) | ((sr & EPCQ_SR_BP2) ? 4 : 0) | ((sr & EPCQ_SR_BP1) ? 2 : 0) |
                  ((sr & EPCQ_SR_BP0) ? 1 : 0);
    uint32_t n = std::min(protected_sectors[bp], sectors);
    if (sr & EPCQ_SR_TB)
        return {0, n};
    return {sectors - n, n};
}

}  // namespace qxsim
