// Test program: a flash writer that is not power-cut safe on purpose. It
// talks to /dev/qx_fpga as update does (4-byte mode, unlock, erase of the
// offset sector and of the image's sectors, 256-byte page programs, lock,
// reconfiguration) but programs the offset record before the image, so a
// valid record points at a partial image until the image's last page is in.
// The power-cut sweep must find exactly that window.
//
//   unsafe_writer IMAGE      exit 0 when every step succeeded
#include "hwaccess/fpga_io.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr uint32_t ASMI_CMD = 0x1000, ASMI_STATUS = 0x1004, ASMI_ADDR = 0x1008, ASMI_LENGTH = 0x100C;
constexpr uint32_t ASMI_PROTECT_CODE = 0x1010, ASMI_WR_FIFO = 0x1014, ASMI_RECONFIG = 0x1040;
constexpr uint32_t CMD_4BYTE = 0x001, CMD_WRITE = 0x008, CMD_PROTECT = 0x020, CMD_ERASE = 0x040;
constexpr uint32_t CMD_IMAGE_DATA = 0x200;
constexpr uint32_t APP_BASE = 0x2000000, OFFSET_SECTOR = 0x7FF0000, RECORD = 0x7FFFFF0;

bool wait_idle()
{
    for (int polls = 0; polls < 100000; polls++) {
        uint32_t status = 0;
        if (!fpga_read_reg(ASMI_STATUS, &status))
            return false;
        if ((status & 0x7) == 0)
            return true;
        if (status & 0x6)
            return false;
    }
    return false;
}

bool command(uint32_t cmd)
{
    return fpga_write_reg(ASMI_CMD, cmd) && wait_idle();
}

bool protect(uint32_t code)
{
    return fpga_write_reg(ASMI_PROTECT_CODE, code) && command(CMD_PROTECT);
}

bool erase(uint32_t addr)
{
    return fpga_write_reg(ASMI_ADDR, addr) && command(CMD_ERASE);
}

bool program(uint32_t addr, const uint8_t* bytes, uint32_t n, uint32_t cmd)
{
    if (!fpga_write_reg(ASMI_ADDR, addr) || !fpga_write_reg(ASMI_LENGTH, n))
        return false;
    for (uint32_t i = 0; i < n; i += 4) {
        uint32_t w = 0;
        for (uint32_t b = 0; b < 4 && i + b < n; b++)
            w |= uint32_t(bytes[i + b]) << (8 * b);
        if (!fpga_write_reg(ASMI_WR_FIFO, w))
            return false;
    }
    return command(cmd);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: unsafe_writer IMAGE\n");
        return 2;
    }
    std::vector<uint8_t> image;
    if (FILE* f = std::fopen(argv[1], "rb")) {
        uint8_t buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            image.insert(image.end(), buf, buf + n);
        std::fclose(f);
    }
    if (image.empty() || image.size() > OFFSET_SECTOR - APP_BASE) {
        std::fprintf(stderr, "unsafe_writer: no image in %s\n", argv[1]);
        return 2;
    }
    const uint32_t size = static_cast<uint32_t>(image.size());
    const uint8_t record[12] = {0x00, 0x00, 0x00, 0x02, 0x40, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFD};
    bool ok = fpga_io_init() && command(CMD_4BYTE) && protect(0x68) && erase(OFFSET_SECTOR);
    for (uint32_t a = 0; ok && a < size; a += 0x10000)
        ok = erase(APP_BASE + a);
    // The record first: the unsafe order.
    ok = ok && program(RECORD, record, sizeof record, CMD_WRITE);
    for (uint32_t a = 0; ok && a < size; a += 256)
        ok = program(APP_BASE + a, &image[a], size - a < 256 ? size - a : 256, CMD_WRITE | CMD_IMAGE_DATA);
    ok = ok && protect(0x5C) && fpga_write_reg(ASMI_RECONFIG, 0x10);
    std::printf("%s\n", ok ? "written" : "failed");
    return ok ? 0 : 1;
}
