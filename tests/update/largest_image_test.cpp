// The largest image the application region takes, programmed, verified and
// booted in full: 0x5FF0000 bytes of a sparse file (zeros, so every byte
// differs from erased flash and the booted length shows all of them).
#include "update_support.h"

#include "qxsim/model/flash/crc32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

TEST(LargestImage, whole_application_region_is_programmed_verified_and_booted)
{
    REQUIRE_TOOL("update");
    constexpr uint32_t REGION = 0x5FF0000;
    qxtest::SimCamera sim(qxtest::SimOptions{"LUX13HS-C", false});
    std::string path = sim.dir() + "/largest.bin";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, REGION), 0);
    ::close(fd);

    auto start = std::chrono::steady_clock::now();
    qxtest::Result r = sim.run({"update", path});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("largest image: %u bytes updated in %.1f s\n", REGION, seconds);
    ASSERT_TRUE(qxtest::status_is(r, 0)) << r.err;
    EXPECT_TRUE(qxtest::stdout_contains(r, "Verification complete"));

    std::vector<uint8_t> zeros(REGION, 0);
    auto lock = sim.model().lock();
    const qxsim::BootState& b = sim.model().asmi().boot().state();
    EXPECT_EQ(b.image, qxsim::BOOT_APPLICATION);
    EXPECT_EQ(b.length, REGION);
    EXPECT_EQ(b.checksum, qxsim::crc32(zeros.data(), zeros.size()));
    EXPECT_EQ(sim.model().asmi().flash().state().unerased_programs, 0u);
    EXPECT_EQ(sim.model().asmi().flash().status_reg(), 0x5C);
}
