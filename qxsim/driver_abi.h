// The wire format of the simulated FPGA driver's register device, as the
// board's kernel driver defines it: two ioctl requests carrying one 8-byte
// record, and the driver's two files. Shared by the interposers, the model,
// the front end and the simulator's own test and bench clients (the tools
// carry their own copy in hwaccess/, built for the camera).
#pragma once

#include <cstdint>

namespace qxsim {

constexpr char DEVICE_PATH[] = "/dev/qx_fpga";
constexpr char PROC_PATH[] = "/proc/qx_pci/regs";

constexpr unsigned long FPGA_IOC_WRITE_REG = 0x4008C601;
constexpr unsigned long FPGA_IOC_READ_REG = 0xC008C603;

struct fpga_reg_io {
    uint32_t reg;
    uint32_t value;
};
static_assert(sizeof(fpga_reg_io) == 8, "the driver's register access record");

}  // namespace qxsim
