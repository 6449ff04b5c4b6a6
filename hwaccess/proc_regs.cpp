#include "hwaccess/proc_regs.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include <fmt/printf.h>

#include "hwaccess/i2c_regs.h"

static bool proc_verbose = false;

void proc_setup(bool verbose)
{
    proc_verbose = verbose;
}

bool proc_write_reg(uint32_t reg, uint32_t value)
{
    const std::string command = fmt::sprintf("echo \"w 0x%0x 0x%0x\" > /proc/qx_pci/regs", reg, value);
    // Whatever the caller printed comes first, on a shared stream too, and
    // stays ahead of anything the shell prints.
    fflush(stdout);
    if (proc_verbose)
        fprintf(stderr, "%s\n", command.c_str());
    fflush(stderr);
    const int status = system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool proc_i2c_write(uint8_t dev_addr, uint8_t reg_addr, uint16_t data)
{
    // The command word starts the transaction, so it goes last.
    return proc_write_reg(I2C_ISB_BASE + I2C_WR_DATA, data) &&
           proc_write_reg(I2C_ISB_BASE + I2C_REG_ADDR, reg_addr) &&
           proc_write_reg(I2C_ISB_BASE + I2C_CONTROL,
                          (static_cast<uint32_t>(dev_addr) << I2C_CMD_DEV_SHIFT) | I2C_CMD_WRITE);
}
