// A simulated camera with regdump at hand: run it, shape the bus devices.
#pragma once

#include <string>
#include <vector>

#include "sim_camera.h"

namespace regdump_test {

using qxtest::Result;

// Main-board block registers.
constexpr uint32_t MAIN_CONTROL = 0x160;
constexpr uint32_t MAIN_STATUS = 0x164;
constexpr uint32_t MAIN_REG_ADDR = 0x168;
constexpr uint32_t MAIN_RD_DATA = 0x170;

const char NEVER_IDLE[] = "bool i2c_read(uint8_t, uint8_t*): I2C never becomes idle.\n";

class RegdumpTest : public ::testing::Test {
protected:
    Result regdump(std::vector<std::string> args)
    {
        args.insert(args.begin(), "regdump");
        return sim.run(args);
    }

    // Adds (or replaces) a register device whose registers hold their own
    // number (8 bits), or device and number (16), or 'D', device, number and
    // its complement (32).
    void add_device(qxsim::Bus bus, uint8_t addr, unsigned width)
    {
        sim.setup().device(bus, addr, width, "test-device");
    }

    void set_device_reg(qxsim::Bus bus, uint8_t addr, uint8_t reg, uint32_t value)
    {
        sim.setup().device_register(bus, addr, reg, value);
    }

    qxtest::SimCamera sim;
};

}  // namespace regdump_test
