// The register device layer on a machine without /dev/qx_fpga: accesses on
// a closed device and a mutex that cannot be initialised.

#include <cerrno>
#include <dlfcn.h>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "hwaccess/fpga_io.h"

namespace {

// Set by a test to make the next pthread_mutex_init fail with this error.
int mutex_init_failure = 0;

}  // namespace

// Stands in front of the C library's pthread_mutex_init for this test
// program (the layer is linked in statically, so its call binds here).
extern "C" int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attr)
{
    using init_fn = int (*)(pthread_mutex_t*, const pthread_mutexattr_t*);
    if (mutex_init_failure != 0) {
        int err = mutex_init_failure;
        mutex_init_failure = 0;
        return err;
    }
    static init_fn real = reinterpret_cast<init_fn>(dlsym(RTLD_NEXT, "pthread_mutex_init"));
    return real(mutex, attr);
}

namespace {

const char NO_DEVICE_LINE[] = "ERROR#2 at bool fpga_io_init()#103: No such file or directory\n";
const char READ_BADF_LINE[] =
    "ERROR#9 at bool fpga_read_reg(uint32_t, uint32_t*)#200: Bad file descriptor\n";
const char WRITE_BADF_LINE[] =
    "ERROR#9 at bool fpga_write_reg(uint32_t, uint32_t)#158: Bad file descriptor\n";

class FpgaIoWithoutDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(access("/dev/qx_fpga", F_OK), 0) << "these tests need a machine without the device";
    }
    void TearDown() override { fpga_io_close(); }
};

TEST_F(FpgaIoWithoutDevice, access_while_closed_fails_at_its_own_site_and_leaves_the_value)
{
    uint32_t value = 0x12345678;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(fpga_read_reg(0x4, &value));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), READ_BADF_LINE);
    EXPECT_EQ(value, 0x12345678u);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(fpga_write_reg(0x180, 0x50111));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), WRITE_BADF_LINE);

    fpga_io_close();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(fpga_read_reg(0x4, &value));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), READ_BADF_LINE);
    EXPECT_EQ(value, 0x12345678u);
}

TEST_F(FpgaIoWithoutDevice, mutex_failure_is_reported_and_the_open_still_attempted)
{
    mutex_init_failure = EAGAIN;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(fpga_io_init());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("ERROR#11 at bool fpga_io_init()#95: Resource temporarily unavailable\n") +
                  NO_DEVICE_LINE);
}

}  // namespace
