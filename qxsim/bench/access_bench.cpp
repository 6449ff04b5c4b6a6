// Register accesses per second through /dev/qx_fpga, the way the tools make
// them: one ioctl per access. Run it under `qxsim run` (or on a camera).
//   qxsim_access_bench [COUNT]
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "qxsim/driver_abi.h"

namespace {

using qxsim::FPGA_IOC_READ_REG;
using qxsim::FPGA_IOC_WRITE_REG;
using qxsim::fpga_reg_io;

double seconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Pass {
    const char* what;
    uint32_t reg;
    bool write;
};

// Status polling of an I2C master, the flash controller's write FIFO, and
// an unmodelled register.
const Pass passes[] = {
    {"read  I2C_STATUS 0x184", 0x184, false},
    {"write ASMI_WR_FIFO 0x1014", 0x1014, true},
    {"read  unmodelled 0x9000", 0x9000, false},
};

}  // namespace

int main(int argc, char** argv)
{
    unsigned long count = argc > 1 ? std::strtoul(argv[1], nullptr, 0) : 20000000;
    int fd = open(qxsim::DEVICE_PATH, O_RDWR);
    if (fd < 0) {
        std::fprintf(stderr, "open %s: %s\n", qxsim::DEVICE_PATH, std::strerror(errno));
        return 1;
    }
    // keep the flash controller's FIFO from filling: clear it between passes
    for (const Pass& p : passes) {
        fpga_reg_io io = {0x1000, 0x1000};
        ioctl(fd, FPGA_IOC_WRITE_REG, &io);
        double wall = seconds(CLOCK_MONOTONIC), cpu = seconds(CLOCK_PROCESS_CPUTIME_ID);
        for (unsigned long i = 0; i < count; i++) {
            io.reg = p.reg;
            io.value = static_cast<uint32_t>(i);
            if (p.write && (i & 63) == 0) {
                fpga_reg_io clear = {0x1000, 0x1000};
                ioctl(fd, FPGA_IOC_WRITE_REG, &clear);
            }
            if (ioctl(fd, p.write ? FPGA_IOC_WRITE_REG : FPGA_IOC_READ_REG, &io) < 0) {
                std::fprintf(stderr, "ioctl: %s\n", std::strerror(errno));
                return 1;
            }
        }
        wall = seconds(CLOCK_MONOTONIC) - wall;
        cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
        std::printf("%-28s %lu accesses  %.3f s wall  %.1f M/s wall  %.1f M/s cpu\n", p.what, count, wall,
                    count / wall / 1e6, count / cpu / 1e6);
    }
    close(fd);
    return 0;
}
