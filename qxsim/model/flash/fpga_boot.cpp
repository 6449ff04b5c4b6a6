#include "qxsim/model/flash/fpga_boot.h"

#include "qxsim/model/flash/crc32.h"
#include "qxsim/model/flash/release_images.h"

#include <fmt/format.h>

#include <cstring>
#include <string_view>

namespace qxsim {

const char* boot_image_name(uint8_t image)
{
    switch (image) {
    case BOOT_FACTORY: return "factory";
    case BOOT_APPLICATION: return "application";
    default: return "none";
    }
}

bool FpgaBoot::record_valid(const uint32_t record[3])
{
    return record[1] == OFFSET_RECORD_CONSTANT && record[2] == ~record[0] && record[0] >= APP_REGION_BASE &&
           record[0] < APP_REGION_END;
}

BootChoice FpgaBoot::choose(const uint8_t raw[12])
{
    BootChoice c{};
    for (int i = 0; i < 3; ++i)
        c.record[i] =
            raw[4 * i] | (raw[4 * i + 1] << 8) | (raw[4 * i + 2] << 16) | (static_cast<uint32_t>(raw[4 * i + 3]) << 24);
    c.record_valid = record_valid(c.record);
    if (c.record_valid) {
        c.image = BOOT_APPLICATION;
        c.base = c.record[0];
        c.end = APP_REGION_END;
    } else {
        c.image = BOOT_FACTORY;
        c.base = FACTORY_IMAGE_BASE;
        c.end = APP_REGION_BASE;
    }
    return c;
}

void FpgaBoot::configure(uint8_t cause)
{
    // The configuration logic reads the array itself, with full addresses,
    // whatever mode the ASMI controller left the chip in.
    const FlashStore& store = flash_.store();
    uint8_t raw[12];
    store.read(OFFSET_RECORD_ADDR, raw, sizeof raw);
    const BootChoice choice = choose(raw);
    std::memcpy(state_.record, choice.record, sizeof state_.record);
    state_.record_valid = choice.record_valid;
    state_.image = choice.image;
    ++(choice.image == BOOT_APPLICATION ? state_.application_boots : state_.factory_boots);
    const uint32_t base = choice.base, end = choice.end;
    state_.cause = cause;
    ++state_.boots;
    state_.base = base;
    state_.length = store.programmed_end(base, end) - base;

    uint32_t crc = 0;
    uint8_t chunk[4096];
    for (uint32_t a = base, left = state_.length; left > 0;) {
        uint32_t n = left < sizeof chunk ? left : sizeof chunk;
        store.read(a, chunk, n);
        crc = crc32_update(crc, chunk, n);
        a += n;
        left -= n;
    }
    state_.checksum = crc;

    std::memset(state_.name, 0, sizeof state_.name);
    if (state_.length == 0) {
        state_.content = BOOT_CONTENT_EMPTY;
        return;
    }
    switch (check_image(store, base, end, state_.name)) {
    case ImageCheck::intact: state_.content = BOOT_CONTENT_INTACT; break;
    case ImageCheck::damaged: state_.content = BOOT_CONTENT_DAMAGED; break;
    case ImageCheck::unrecognised: state_.content = BOOT_CONTENT_UNRECOGNISED; break;
    }
}

void FpgaBoot::reset()
{
    std::memset(&state_, 0, sizeof state_);
}

void FpgaBoot::describe(std::ostream& out) const
{
    if (state_.image == BOOT_NONE) {
        out << "  boot: not configured yet\n";
        return;
    }
    static const char* const contents[] = {"empty", "intact", "damaged", "unrecognised content"};
    const std::string_view name(state_.name, strnlen(state_.name, sizeof state_.name));
    out << fmt::format("  boot {} ({}): {} image at 0x{:07X}, {} bytes, CRC-32 0x{:08X}, {}{}{}\n", state_.boots,
                       state_.cause == BOOT_BY_RECONFIG ? "reconfiguration" : "power-on", boot_image_name(state_.image),
                       state_.base, state_.length, state_.checksum, name, name.empty() ? "" : " ",
                       contents[state_.content & 3]);
    out << fmt::format("  offset record 0x{:08X} 0x{:08X} 0x{:08X} ({}); factory boots {}, application boots {}\n",
                       state_.record[0], state_.record[1], state_.record[2], state_.record_valid ? "valid" : "not valid",
                       state_.factory_boots, state_.application_boots);
}

}  // namespace qxsim
