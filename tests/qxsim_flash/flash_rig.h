// A serial-flash controller, chip and configuration logic on a flash.bin of
// their own in a temporary folder, driven by register accesses as the tools
// drive the real controller.
#pragma once

#include "qxsim/model/flash/crc32.h"
#include "qxsim/model/flash/epcq_flash.h"
#include "qxsim/model/flash/flash_store.h"
#include "qxsim/model/flash/fpga_boot.h"
#include "qxsim/model/flash/release_images.h"
#include "qxsim/model/fpga/asmi_controller.h"
#include "sim_camera.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace flashtest {

using namespace qxsim;

struct FlashRig {
    qxtest::TempDir tmp;
    const std::string dir = tmp.path();
    FlashStore store;
    EpcqState epcq{};
    AsmiState asmi_state{};
    BootState boot_state{};
    EpcqFlash flash{epcq, store};
    FpgaBoot boot{boot_state, flash};
    AsmiController asmi{asmi_state, flash, boot};
    int power_cuts = 0;

    explicit FlashRig(bool fresh = true)
    {
        std::string err;
        if (!store.open(dir + "/flash.bin", &err, true))
            ADD_FAILURE() << err;
        flash.set_power_cut([this](const TornCut&) { ++power_cuts; });
        if (fresh)
            asmi.reset();
    }

    void cmd(uint32_t c) { asmi.write(ASMI_CMD, c); }
    uint32_t status() { return asmi.read(ASMI_STATUS); }

    void unlock()
    {
        cmd(ASMI_4BYTE_MODE);
        asmi.write(ASMI_PROTECT_CODE, 0x68);
        cmd(ASMI_PROTECT);
    }
    void erase(uint32_t addr)
    {
        asmi.write(ASMI_ADDR, addr);
        cmd(ASMI_SECTOR_ERASE);
    }
    // Address, length and write-FIFO words for the next command.
    void stage(uint32_t addr, uint32_t len, const std::vector<uint32_t>& words)
    {
        asmi.write(ASMI_ADDR, addr);
        asmi.write(ASMI_LENGTH, len);
        for (uint32_t w : words)
            asmi.write(ASMI_WR_FIFO, w);
    }
    // One block through the write FIFO, words packed first byte lowest.
    void write_block(uint32_t addr, const std::vector<uint8_t>& bytes, uint32_t command = ASMI_WRITE | ASMI_IMAGE_DATA)
    {
        asmi.write(ASMI_ADDR, addr);
        asmi.write(ASMI_LENGTH, static_cast<uint32_t>(bytes.size()));
        for (size_t i = 0; i < bytes.size(); i += 4) {
            uint32_t w = 0;
            for (size_t k = 0; k < 4 && i + k < bytes.size(); ++k)
                w |= uint32_t(bytes[i + k]) << (8 * k);
            asmi.write(ASMI_WR_FIFO, w);
        }
        cmd(command);
    }
    std::vector<uint32_t> read_words(uint32_t addr, uint32_t len, uint32_t command = ASMI_READ | ASMI_IMAGE_DATA)
    {
        asmi.write(ASMI_ADDR, addr);
        asmi.write(ASMI_LENGTH, len);
        cmd(command);
        std::vector<uint32_t> out;
        uint32_t level = asmi.read(ASMI_RD_FIFO_LEVEL);
        for (uint32_t i = 0; i < level; ++i)
            out.push_back(asmi.read(ASMI_RD_FIFO));
        return out;
    }
    std::vector<uint8_t> bytes(uint32_t addr, uint32_t len)
    {
        std::vector<uint8_t> out(len);
        store.read(addr, out.data(), len);
        return out;
    }
    void write_record(uint32_t w0, uint32_t w1, uint32_t w2)
    {
        asmi.write(ASMI_ADDR, OFFSET_RECORD_ADDR);
        asmi.write(ASMI_LENGTH, 12);
        asmi.write(ASMI_WR_FIFO, w0);
        asmi.write(ASMI_WR_FIFO, w1);
        asmi.write(ASMI_WR_FIFO, w2);
        cmd(ASMI_WRITE);
    }
};

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 0x12345u + seed;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return v;
}

}  // namespace flashtest
