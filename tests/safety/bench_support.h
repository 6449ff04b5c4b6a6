// Shared helpers of the safety campaigns: images on disk, what the camera
// booted, and the factory area check.
#pragma once

#include "sim_camera.h"

#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/flash/crc32.h"
#include "qxsim/model/flash/release_images.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace safety {

// An image the camera could hold, as the update tool sees it on disk.
struct DiskImage {
    std::string path;
    std::vector<uint8_t> bytes;
    uint32_t crc = 0;
};

inline DiskImage make_disk_image(const std::string& dir, const qxsim::MadeUpImage& made)
{
    DiskImage d;
    d.path = dir + "/" + made.name + ".rbf";
    d.bytes = qxsim::make_image(made);
    d.crc = qxsim::crc32(d.bytes.data(), d.bytes.size());
    qxtest::write_file(d.path, d.bytes);
    return d;
}

// What the FPGA loaded at its last configuration.
enum class Booted { factory, image_a, image_b, bricked };

inline const char* booted_name(Booted b)
{
    switch (b) {
    case Booted::factory: return "factory";
    case Booted::image_a: return "image A";
    case Booted::image_b: return "image B";
    default: return "bricked";
    }
}

// A boot counts only when the whole image came up intact: the container's
// CRC holds and the region's length and checksum are those of the file.
inline Booted classify_boot(qxtest::SimCamera& sim, const DiskImage& a, const DiskImage& b,
                            uint32_t factory_crc, uint32_t factory_len)
{
    auto lock = sim.model().lock();
    const qxsim::BootState& s = sim.model().asmi().boot().state();
    if (s.content != qxsim::BOOT_CONTENT_INTACT)
        return Booted::bricked;
    if (s.image == qxsim::BOOT_FACTORY && s.length == factory_len && s.checksum == factory_crc)
        return Booted::factory;
    if (s.image == qxsim::BOOT_APPLICATION && s.base == qxsim::APP_REGION_BASE) {
        if (s.length == a.bytes.size() && s.checksum == a.crc)
            return Booted::image_a;
        if (s.length == b.bytes.size() && s.checksum == b.crc)
            return Booted::image_b;
    }
    return Booted::bricked;
}

// The protected lowest 32 MiB: the factory image byte for byte, erased above it.
inline bool factory_area_intact(qxtest::SimCamera& sim, const std::vector<uint8_t>& factory)
{
    auto lock = sim.model().lock();
    const qxsim::FlashStore& store = sim.model().asmi().flash().store();
    std::vector<uint8_t> now(factory.size());
    store.read(0, now.data(), static_cast<uint32_t>(now.size()));
    return now == factory &&
           store.programmed_end(static_cast<uint32_t>(factory.size()), qxsim::APP_REGION_BASE) ==
               factory.size();
}

// One judged point of `qxsim sweep power-cut --list`: "cut K VERDICT 0xPP",
// or for a cut inside a flash operation "cut K FAULT N BYTES VERDICT 0xPP".
struct SweepPoint {
    uint64_t access = 0;
    std::string fault;  // "asmi.torn-program" or "asmi.torn-erase"; "" between accesses
    uint32_t nth = 0, bytes = 0;
    std::string verdict;  // old, factory, new, bricked
    unsigned protection = 0;
};

inline std::vector<SweepPoint> sweep_points(const std::string& out)
{
    std::vector<SweepPoint> points;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 4, "cut ") != 0)
            continue;
        std::istringstream words(line.substr(4));
        SweepPoint p;
        std::string protection;
        words >> p.access >> p.verdict;
        if (p.verdict.compare(0, 5, "asmi.") == 0) {
            p.fault = p.verdict;
            words >> p.nth >> p.bytes >> p.verdict;
        }
        words >> protection;
        p.protection = static_cast<unsigned>(std::stoul(protection, nullptr, 16));
        points.push_back(p);
    }
    return points;
}

// The access numbers named by "bricked at access K..." lines, those between
// accesses and those inside a flash operation apart.
inline void bricked_accesses(const std::string& out, std::vector<uint64_t>* between, std::vector<uint64_t>* inside)
{
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        unsigned long long k = 0;
        if (std::sscanf(line.c_str(), "bricked at access %llu", &k) != 1)
            continue;
        const bool torn = line.find("cut after") != std::string::npos;
        (torn ? inside : between)->push_back(k);
    }
}

}  // namespace safety
