// A stand-in for a tool's register layer, for testing the interposer: each
// argument is one operation on /dev/qx_fpga (or the proc file), results on
// standard output, one line each.
//   open | open64 | openat | open2 | openat2 | fopen
//                    open the device with that call (open2, openat2: the
//                    fortified forms)
//   r REG            read:  "r REG = VALUE" or "r REG: errno N"
//   w REG VALUE      write: "w REG ok" or "w REG: errno N"
//   ioctl REQ        another request on the device: "ioctl: errno N"
//   close
//   hammer N REG     N reads of REG, no output (speed and SIGKILL tests)
//   incr N REG       N read-modify-write increments of REG (unlocked on purpose)
//   proc TEXT        fopen the proc file, write TEXT, fclose: "proc ok" / "proc: errno N"
//   system CMD       system(CMD), as biasset does: "system STATUS"
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "qxsim/driver_abi.h"

extern "C" int __open_2(const char*, int);  // the fortified opens
extern "C" int __openat_2(int, const char*, int);

namespace {

using qxsim::FPGA_IOC_READ_REG;
using qxsim::FPGA_IOC_WRITE_REG;
using qxsim::fpga_reg_io;
const char* const device = qxsim::DEVICE_PATH;

int fd = -1;

uint32_t num(const char* s)
{
    return static_cast<uint32_t>(std::strtoul(s, nullptr, 0));
}

bool reg_read(uint32_t reg, uint32_t* v)
{
    fpga_reg_io io = {reg, 0};
    if (ioctl(fd, FPGA_IOC_READ_REG, &io) < 0)
        return false;
    *v = io.value;
    return true;
}

bool reg_write(uint32_t reg, uint32_t v)
{
    fpga_reg_io io = {reg, v};
    return ioctl(fd, FPGA_IOC_WRITE_REG, &io) == 0;
}

// Opens the device with the call named `how`; false for no such call.
bool open_with(const std::string& how)
{
    if (how == "open")
        fd = open(device, O_RDWR, 0666);
    else if (how == "open64")
        fd = open64(device, O_RDWR);
    else if (how == "openat")
        fd = openat(AT_FDCWD, device, O_RDWR);
    else if (how == "open2")
        fd = __open_2(device, O_RDWR);
    else if (how == "openat2")
        fd = __openat_2(AT_FDCWD, device, O_RDWR);
    else if (how == "fopen") {
        FILE* f = std::fopen(device, "r+");
        fd = f ? fileno(f) : -1;
    } else
        return false;
    if (fd < 0)
        std::printf("%s: errno %d\n", how.c_str(), errno);
    else
        std::printf("%s ok\n", how.c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        std::string op = argv[i];
        if (op == "close") {
            close(fd);
            std::printf("close\n");
        } else if (op == "r" && i + 1 < argc) {
            uint32_t reg = num(argv[++i]), v = 0;
            if (reg_read(reg, &v))
                std::printf("r 0x%x = 0x%x\n", reg, v);
            else
                std::printf("r 0x%x: errno %d\n", reg, errno);
        } else if (op == "w" && i + 2 < argc) {
            uint32_t reg = num(argv[i + 1]), v = num(argv[i + 2]);
            i += 2;
            if (reg_write(reg, v))
                std::printf("w 0x%x ok\n", reg);
            else
                std::printf("w 0x%x: errno %d\n", reg, errno);
        } else if (op == "ioctl" && i + 1 < argc) {
            fpga_reg_io io = {0, 0};
            int rc = ioctl(fd, num(argv[++i]), &io);
            std::printf("ioctl: %s %d\n", rc < 0 ? "errno" : "ok", rc < 0 ? errno : rc);
        } else if (op == "hammer" && i + 2 < argc) {
            uint32_t n = num(argv[i + 1]), reg = num(argv[i + 2]), v = 0;
            i += 2;
            for (uint32_t k = 0; k < n; k++)
                if (!reg_read(reg, &v)) {
                    std::printf("hammer: errno %d\n", errno);
                    return 1;
                }
        } else if (op == "incr" && i + 2 < argc) {
            uint32_t n = num(argv[i + 1]), reg = num(argv[i + 2]), v = 0;
            i += 2;
            for (uint32_t k = 0; k < n; k++)
                if (!reg_read(reg, &v) || !reg_write(reg, v + 1)) {
                    std::printf("incr: errno %d\n", errno);
                    return 1;
                }
        } else if (op == "proc" && i + 1 < argc) {
            FILE* f = std::fopen(qxsim::PROC_PATH, "w");
            if (!f) {
                std::printf("proc: errno %d\n", errno);
                continue;
            }
            std::fputs(argv[++i], f);
            int rc = std::fclose(f);
            if (rc != 0)
                std::printf("proc: errno %d\n", errno);
            else
                std::printf("proc ok\n");
        } else if (op == "system" && i + 1 < argc) {
            std::fflush(stdout);
            int status = std::system(argv[++i]);
            std::printf("system %d\n", status);
        } else if (!open_with(op)) {
            std::fprintf(stderr, "reg_client: bad operation %s\n", op.c_str());
            return 2;
        }
    }
    return 0;
}
