// The EPCQ-L configuration flash parts as their datasheet gives them: the
// READ ID answer, name and size of each part, the sector and page size, the
// status register's protection bits and what they protect. The chip model
// and the trace decoder both read them here.
#pragma once

#include <cstdint>

namespace qxsim {

struct EpcqPart {
    uint8_t id;  // READ ID
    const char* name;
    uint32_t capacity;
};
extern const EpcqPart EPCQ_PARTS[3];
constexpr uint8_t EPCQ_ID_L1024 = 0x21;  // the camera's
// The part answering READ ID with `id`, or null.
const EpcqPart* epcq_part(uint8_t id);
// Its capacity; the whole array (FlashStore::kSize) for an unknown ID.
uint32_t epcq_capacity(uint8_t id);

constexpr uint32_t EPCQ_SECTOR_SIZE = 0x10000;
constexpr uint32_t EPCQ_PAGE_SIZE = 256;

// Status register bits that select the protected area.
constexpr uint8_t EPCQ_SR_BP0 = 0x04;
constexpr uint8_t EPCQ_SR_BP1 = 0x08;
constexpr uint8_t EPCQ_SR_BP2 = 0x10;
constexpr uint8_t EPCQ_SR_TB = 0x20;
constexpr uint8_t EPCQ_SR_BP3 = 0x40;
constexpr uint8_t EPCQ_SR_PROTECT_MASK = 0x7C;

// The two protect codes the camera uses: the factory area (the lowest 512
// sectors, 32 MiB) protected and the application region open, which
// update's unlock writes; and the whole chip protected, as a new camera is
// and update's lock leaves it.
constexpr uint8_t EPCQ_PROTECT_FACTORY = EPCQ_SR_BP3 | EPCQ_SR_TB | EPCQ_SR_BP1;  // 0x68
constexpr uint8_t EPCQ_PROTECT_ALL = EPCQ_SR_BP3 | EPCQ_SR_BP2 | EPCQ_SR_BP1 | EPCQ_SR_BP0;  // 0x5C

struct ProtectedRange {
    uint32_t first_sector;
    uint32_t sectors;  // 0: nothing protected
};

// The sectors a status register's BP3..BP0 and TB bits protect on a part of
// `sectors` sectors.
ProtectedRange epcq_protected_range(uint8_t status_reg, uint32_t sectors);

}  // namespace qxsim
