// FPGA register device access and console reporting.
//
// The FPGA board's driver exposes the FPGA's register space through
// /dev/qx_fpga: one ioctl writes and one reads a single 32-bit register.
// Every access is one ioctl under one process-wide mutex.
#pragma once

#include <cstdint>
#include <sys/ioctl.h>

// Argument of both register ioctls: two native-order 32-bit words.
struct fpga_reg_io {
    uint32_t reg;
    uint32_t value;
};
static_assert(sizeof(fpga_reg_io) == 8, "the driver expects an 8-byte record");

#define FPGA_IOC_TYPE 0xC6
#define FPGA_IOC_WRITE_REG _IOW(FPGA_IOC_TYPE, 1, struct fpga_reg_io)
#define FPGA_IOC_READ_REG _IOWR(FPGA_IOC_TYPE, 3, struct fpga_reg_io)
static_assert(FPGA_IOC_WRITE_REG == 0x4008C601u, "driver's register-write request");
static_assert(FPGA_IOC_READ_REG == 0xC008C603u, "driver's register-read request");

// Log levels on the syslog priority scale (same values as <syslog.h>, so the
// two may meet in one file). The level is carried for the reader;
// console_log prints every line whatever its level.
#define LOG_ERR 3
#define LOG_WARNING 4
#define LOG_INFO 6
#define LOG_DEBUG 7

// Initialise the access mutex and open the device. False if either failed
// (each failure has printed its error line).
bool fpga_io_init();

// One register access each; a failure prints the error line and returns
// false. A failed read leaves *value untouched.
bool fpga_read_reg(uint32_t reg, uint32_t* value);
bool fpga_write_reg(uint32_t reg, uint32_t value);

// Close the device under the mutex; the handle is -1 afterwards.
void fpga_io_close();

// "ERROR#<err> at <func>#<site>: <strerror>" on standard error.
void report_error(const char* func, int site, int err);

// One printf-style line on standard output, newline appended.
void console_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
