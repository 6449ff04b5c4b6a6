#include "hwaccess/proc_regs.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include <fmt/printf.h>

#include "hwaccess/i2c_regs.h"
#include "hwaccess/sleep_ms.h"
#include "hwaccess/tool_lock.h"

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

static const char FUNC_PROC_I2C_WRITE[] = "bool proc_i2c_write(uint8_t, uint8_t, uint16_t)";


bool proc_i2c_write(uint8_t dev_addr, uint8_t reg_addr, uint16_t data)
{
    // The register device's users hold the same lock for their transactions
    // on the ISB master, so the three lines never interleave with theirs.
    tool_lock_result taken = tool_lock_take(TOOL_LOCK_I2C_ISB, true);
    if (taken == TOOL_LOCK_HELD)
        fprintf(stderr, "%s: I2C master held by another process.\n", FUNC_PROC_I2C_WRITE);
    if (taken != TOOL_LOCK_TAKEN)
        return false;
    // The command word starts the transaction, so it goes last.
    bool ok = proc_write_reg(I2C_ISB_BASE + I2C_WR_DATA, data) &&
              proc_write_reg(I2C_ISB_BASE + I2C_REG_ADDR, reg_addr) &&
              proc_write_reg(I2C_ISB_BASE + I2C_CONTROL, i2c_write_command(dev_addr));
    // Nothing here can see the master go idle: the lock is held until a write
    // started by the command word has surely ended on the bus.
    if (ok)
        sleep_ms(I2C_WRITE_PAUSE_MS);
    tool_lock_release(TOOL_LOCK_I2C_ISB);
    return ok;
}
