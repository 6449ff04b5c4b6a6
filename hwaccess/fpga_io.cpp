#include "hwaccess/fpga_io.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

const char FPGA_DEVICE[] = "/dev/qx_fpga";

// Error sites: fixed numbers that tell the engineer which call failed.
const int SITE_MUTEX_INIT = 95;
const int SITE_OPEN = 103;
const int SITE_WRITE = 158;
const int SITE_READ = 200;

const char FUNC_INIT[] = "bool fpga_io_init()";
const char FUNC_WRITE[] = "bool fpga_write_reg(uint32_t, uint32_t)";
const char FUNC_READ[] = "bool fpga_read_reg(uint32_t, uint32_t*)";

// -1 while closed: an access then fails in the driver call with EBADF and
// reports through its own site like any other failed access.
int fpga_fd = -1;

// Statically initialised as well, so an access before fpga_io_init still
// locks a valid mutex.
pthread_mutex_t fpga_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

void report_error(const char* func, int site, int err)
{
    fprintf(stderr, "ERROR#%d at %s#%d: %s\n", err, func, site, strerror(err));
}

void console_log(int level, const char* format, ...)
{
    (void)level;
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fputc('\n', stdout);
}

bool fpga_io_init()
{
    bool ok = true;

    // A failed mutex initialisation is reported, but the device is opened
    // anyway; the caller gives up on the false result.
    int err = pthread_mutex_init(&fpga_lock, nullptr);
    if (err != 0) {
        report_error(FUNC_INIT, SITE_MUTEX_INIT, err);
        ok = false;
    }

    fpga_fd = open(FPGA_DEVICE, O_RDWR, 0666);
    if (fpga_fd < 0) {
        report_error(FUNC_INIT, SITE_OPEN, errno);
        ok = false;
    }
    return ok;
}

bool fpga_write_reg(uint32_t reg, uint32_t value)
{
    bool ok = true;

    pthread_mutex_lock(&fpga_lock);
    fpga_reg_io io = {reg, value};
    if (ioctl(fpga_fd, FPGA_IOC_WRITE_REG, &io) < 0) {
        report_error(FUNC_WRITE, SITE_WRITE, errno);
        ok = false;
    }
    pthread_mutex_unlock(&fpga_lock);
    return ok;
}

bool fpga_read_reg(uint32_t reg, uint32_t* value)
{
    bool ok = true;

    pthread_mutex_lock(&fpga_lock);
    fpga_reg_io io = {reg, 0};
    if (ioctl(fpga_fd, FPGA_IOC_READ_REG, &io) < 0) {
        report_error(FUNC_READ, SITE_READ, errno);
        ok = false;
    } else {
        *value = io.value;
    }
    pthread_mutex_unlock(&fpga_lock);
    return ok;
}

void fpga_io_close()
{
    pthread_mutex_lock(&fpga_lock);
    close(fpga_fd);
    fpga_fd = -1;
    pthread_mutex_unlock(&fpga_lock);
}
