// What update's tests share: image files, what the flash and the FPGA were
// left with, and how to aim an Nth-access fault at a chosen access of a run.
#pragma once

#include "qxsim/model/fpga/asmi_controller.h"
#include "sim_camera.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace update_test {

using qxtest::SimCamera;
using qxtest::TraceRecord;

constexpr uint32_t APP_BASE = 0x2000000;
constexpr uint32_t RECORD_ADDR = 0x7FFFFF0;
constexpr uint32_t APP_REGION_SIZE = 0x5FF0000;

const std::string ERASED_RECORD(12, '\xFF');
const std::string VALID_RECORD("\x00\x00\x00\x02\x40\x00\x00\x00\xFF\xFF\xFF\xFD", 12);

const char USAGE[] =
    "usage: update [-r] [-v] [-e] <fpga_config_file>\n"
    " -r             --release      \t  Perform a release update\n"
    "\n"
    " -v             --verbose      \t  Enable verbose output\n"
    " -e             --erase        \t  Only erase (no programming)\n";

// Pseudo-random bytes from `seed` (two seeds tell two images apart), the
// last one never 0xFF, so the booted length is the file's length.
inline std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 0x9E3779B9u ^ seed;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 8);
    }
    if (!v.empty() && v.back() == 0xFF)
        v.back() = 0x5A;
    return v;
}

// An image file of `size` bytes in the camera's folder, bytes that step
// through every value, from `seed`.
inline std::string make_image(const SimCamera& sim, const std::string& name, size_t size, int seed = 1)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = char((i * 7 + size_t(seed) * 13 + (i >> 8)) & 0xFF);
    std::string path = sim.dir() + "/" + name;
    qxtest::write_file(path, data);
    return path;
}

// What the flash holds, read beside the controller.
inline std::string flash_holds(SimCamera& sim, uint32_t address, uint32_t length)
{
    auto lock = sim.model().lock();
    std::string bytes(length, '\0');
    sim.model().asmi().flash().read(address, reinterpret_cast<uint8_t*>(&bytes[0]), length);
    return bytes;
}

inline uint8_t protect_bits(SimCamera& sim)
{
    auto lock = sim.model().lock();
    return sim.model().asmi().flash().status_reg() & qxsim::EPCQ_SR_PROTECT_MASK;
}

// What the FPGA loaded at its last configuration.
inline qxsim::BootState booted(SimCamera& sim)
{
    auto lock = sim.model().lock();
    return sim.model().asmi().boot().state();
}

using Match = std::function<bool(const TraceRecord&)>;

inline Match command(uint32_t value)
{
    return [value](const TraceRecord& t) { return t.kind == 'W' && t.reg == qxsim::ASMI_CMD && t.value == value; };
}

inline Match access(char kind, uint32_t reg)
{
    return [kind, reg](const TraceRecord& t) { return t.kind == kind && t.reg == reg; };
}

inline size_t count_of(const std::vector<TraceRecord>& trace, const Match& match)
{
    size_t n = 0;
    for (const TraceRecord& t : qxtest::register_traffic(trace))
        n += match(t);
    return n;
}

// Number (1 = first) of the register access of a run's trace that is the
// match after `skip` earlier ones: aims an Nth-access fault at it; 0 when
// there is none.
inline size_t access_number(const std::vector<TraceRecord>& trace, const Match& match, size_t skip = 0)
{
    size_t n = 0;
    for (const TraceRecord& t : qxtest::register_traffic(trace)) {
        ++n;
        if (match(t) && skip-- == 0)
            return n;
    }
    return 0;
}

// The trace of an uninterrupted update with `args` (the image last) on a
// fresh camera, the image of `size` bytes: with instant timing the same run
// makes the same accesses, so its access numbers aim faults at a twin run.
inline std::vector<TraceRecord> reference_run(std::vector<std::string> args, size_t size)
{
    SimCamera twin;
    args.back() = make_image(twin, args.back(), size);
    args.insert(args.begin(), "update");
    EXPECT_TRUE(qxtest::status_is(twin.run(args), 0));
    return twin.trace();
}

}  // namespace update_test
