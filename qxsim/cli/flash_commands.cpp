#include "qxsim/cli/flash_commands.h"

#include "qxsim/model/flash/crc32.h"
#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/trace/parse.h"

#include <cstdio>
#include <iostream>

namespace qxsim_cli {

const char flash_usage_text[] =
    "  flash read ADDR LEN   hex dump of the flash array\n"
    "  flash checksum ADDR LEN\n"
    "                        CRC-32 of a range, printed as 0x%08X\n"
    "  flash dump ADDR LEN FILE   copy a range into FILE\n"
    "  flash load ADDR FILE  put FILE into the array as a factory programmer would (no\n"
    "                        erase or protection needed)\n"
    "  flash id ID           fitted chip: 0x19 EPCQ-L256, 0x20 EPCQ-L512, 0x21 EPCQ-L1024, ...\n"
    "  flash protect CODE    set the chip's protection bits (status register layout)\n"
    "  flash timing instant|datasheet [ERASE_US PROGRAM_US STATUS_US]\n";

namespace {

int fail(const std::string& message)
{
    std::fprintf(stderr, "qxsim: %s\n", message.c_str());
    return 1;
}

int usage()
{
    std::fputs(flash_usage_text, stderr);
    return 2;
}

// ADDR and LEN inside the 128 MiB array.
bool parse_range(const std::string& a, const std::string& l, uint32_t* addr, uint32_t* len)
{
    return qxsim::parse_u32(a, addr) && qxsim::parse_u32(l, len) && *addr <= qxsim::FlashStore::kSize &&
           *len <= qxsim::FlashStore::kSize - *addr;
}

int flash_read(const qxsim::FlashStore& store, uint32_t addr, uint32_t len)
{
    uint8_t row[16];
    for (uint32_t off = 0; off < len; off += 16) {
        uint32_t n = len - off < 16 ? len - off : 16;
        store.read(addr + off, row, n);
        std::printf("0x%07X:", addr + off);
        for (uint32_t i = 0; i < n; ++i)
            std::printf(" %02x", row[i]);
        std::printf("\n");
    }
    return 0;
}

int flash_dump(const qxsim::FlashStore& store, uint32_t addr, uint32_t len, const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return fail("cannot create " + path);
    uint8_t chunk[65536];
    bool ok = true;
    for (uint32_t off = 0; off < len && ok; off += sizeof chunk) {
        uint32_t n = len - off < sizeof chunk ? len - off : sizeof chunk;
        store.read(addr + off, chunk, n);
        ok = std::fwrite(chunk, 1, n, f) == n;
    }
    if (std::fclose(f) != 0 || !ok)
        return fail("cannot write " + path);
    return 0;
}

int flash_load(qxsim::FlashStore& store, uint32_t addr, const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return fail("cannot open " + path);
    uint8_t chunk[65536];
    size_t n;
    uint32_t a = addr;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (n > qxsim::FlashStore::kSize - a) {
            std::fclose(f);
            return fail(path + " does not fit in the flash from that address");
        }
        store.load(a, chunk, static_cast<uint32_t>(n));
        a += static_cast<uint32_t>(n);
    }
    bool err = std::ferror(f);
    std::fclose(f);
    return err ? fail("cannot read " + path) : 0;
}

}  // namespace

int cmd_flash(qxsim::Camera& cam, const std::vector<std::string>& args)
{
    qxsim::AsmiController* asmi = &cam.asmi();
    if (!asmi)
        return fail("this camera has no serial-flash controller");
    if (args.empty())
        return usage();
    const std::string& what = args[0];
    uint32_t addr = 0, len = 0, value = 0;

    auto lock = cam.lock();
    qxsim::EpcqFlash& chip = asmi->flash();
    if (what == "read" && args.size() == 3) {
        if (!parse_range(args[1], args[2], &addr, &len))
            return fail("ADDR and LEN must lie inside the 128 MiB array");
        return flash_read(chip.store(), addr, len);
    }
    if (what == "checksum" && args.size() == 3) {
        if (!parse_range(args[1], args[2], &addr, &len))
            return fail("ADDR and LEN must lie inside the 128 MiB array");
        uint32_t crc = 0;
        uint8_t chunk[65536];
        for (uint32_t off = 0; off < len; off += sizeof chunk) {
            uint32_t n = len - off < sizeof chunk ? len - off : sizeof chunk;
            chip.store().read(addr + off, chunk, n);
            crc = qxsim::crc32_update(crc, chunk, n);
        }
        std::printf("0x%08X\n", crc);
        return 0;
    }
    if (what == "dump" && args.size() == 4) {
        if (!parse_range(args[1], args[2], &addr, &len))
            return fail("ADDR and LEN must lie inside the 128 MiB array");
        return flash_dump(chip.store(), addr, len, args[3]);
    }
    if (what == "load" && args.size() == 3) {
        if (!qxsim::parse_u32(args[1], &addr) || addr >= qxsim::FlashStore::kSize)
            return fail("ADDR must lie inside the 128 MiB array");
        return flash_load(chip.store(), addr, args[2]);
    }
    if (what == "id" && args.size() == 2) {
        if (!qxsim::parse_u32(args[1], &value) || value > 0xFF)
            return fail("the ID is one byte");
        chip.set_device_id(static_cast<uint8_t>(value));
        return 0;
    }
    if (what == "protect" && args.size() == 2) {
        if (!qxsim::parse_u32(args[1], &value) || value > 0xFF)
            return fail("the protect code is one byte");
        chip.write_status(static_cast<uint8_t>(value));
        return 0;
    }
    if (what == "timing" && args.size() == 2 && args[1] == "instant") {
        chip.set_timing(qxsim::EPCQ_TIMING_INSTANT, chip.state().erase_us, chip.state().program_us,
                        chip.state().status_us);
        return 0;
    }
    if (what == "timing" && (args.size() == 2 || args.size() == 5) && args[1] == "datasheet") {
        uint32_t us[3] = {qxsim::EPCQ_ERASE_US, qxsim::EPCQ_PROGRAM_US, qxsim::EPCQ_STATUS_US};
        for (size_t i = 2; i < args.size(); ++i)
            if (!qxsim::parse_u32(args[i], &us[i - 2]))
                return fail("times are whole microseconds");
        chip.set_timing(qxsim::EPCQ_TIMING_DATASHEET, us[0], us[1], us[2]);
        return 0;
    }
    return usage();
}

}  // namespace qxsim_cli
