// Both cameras are read under their own lock into a snapshot of what the
// camera holds, then compared; the flash arrays are compared file to file.
#include "qxsim/cli/diff_commands.h"

#include "qxsim/model/camera/camera.h"
#include "qxsim/model/devices/dac_chip.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/flash/crc32.h"
#include "qxsim/model/flash/epcq_flash.h"
#include "qxsim/model/flash/fpga_boot.h"
#include "qxsim/model/fpga/register_table.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace qxsim_cli {

namespace {

struct Snapshot {
    std::vector<std::pair<std::string, uint32_t>> registers;  // "asmi ASMI_ADDR", in block order
    std::map<uint32_t, uint32_t> unmodelled;
    qxsim::IdentMemoryState ident;
    qxsim::DacState dac;
    std::map<std::pair<unsigned, uint32_t>, qxsim::RegisterDeviceState> devices;  // (bus, address)
    uint8_t protection = 0;
    uint32_t sectors = 0;
    qxsim::BootState boot;
};

Snapshot take(qxsim::Camera& cam)
{
    Snapshot s;
    auto lock = cam.lock();
    for (const qxsim::RegisterBlock* b : cam.blocks()) {
        const qxsim::RegisterLayout* regs = b->registers();
        for (unsigned i = 0; regs && i < regs->size(); i++) {
            uint32_t v = 0;
            if (b->stored_value(i, &v))
                s.registers.emplace_back(fmt::format("{} {}{}", b->name(), b->register_prefix(), (*regs)[i].name), v);
        }
    }
    const qxsim::CameraState& st = cam.state();
    for (const qxsim::RegisterFileEntry& e : st.regfile.entry)
        if (e.used)
            s.unmodelled[e.reg] = e.value;
    s.ident = st.ident;
    s.dac = st.dac;
    for (unsigned b = 0; b < qxsim::BUS_COUNT; b++)
        for (const qxsim::RegisterDeviceState& d : st.regdev[b])
            if (d.used)
                s.devices[{b, d.addr}] = d;
    s.protection = st.epcq.status_reg;
    s.sectors = qxsim::epcq_capacity(st.epcq.device_id) / qxsim::EPCQ_SECTOR_SIZE;
    s.boot = st.boot;
    return s;
}

struct Report {
    int differences = 0;
    void line(const std::string& what, const std::string& here, const std::string& there)
    {
        std::printf("%s: %s | %s\n", what.c_str(), here.c_str(), there.c_str());
        differences++;
    }
};

std::string hex(uint32_t v)
{
    return fmt::format("0x{:x}", v);
}

std::string protection_text(uint8_t code, uint32_t sectors)
{
    qxsim::ProtectedRange r = qxsim::epcq_protected_range(code, sectors);
    if (r.sectors == 0)
        return fmt::format("0x{:02X} nothing protected", code);
    return fmt::format("0x{:02X} sectors {}..{} protected", code, r.first_sector, r.first_sector + r.sectors - 1);
}

std::string output_text(const qxsim::DacOutputState& o)
{
    std::string s = fmt::format("0x{:03x} {}", o.code, o.powered ? "powered" : "powered down");
    if (o.input != o.code)
        s += fmt::format(" (input 0x{:03x} pending)", o.input);
    return s;
}

std::string reference_text(const qxsim::DacChipState& c)
{
    return !c.ref_internal ? "external reference" : c.ref_powered ? "internal reference on" : "internal reference powered down";
}

std::string boot_text(const qxsim::BootState& b)
{
    if (b.image == qxsim::BOOT_NONE)
        return "not configured yet";
    return fmt::format("{} image at 0x{:07X}, {} bytes, CRC-32 0x{:08X}", qxsim::boot_image_name(b.image), b.base,
                       b.length, b.checksum);
}

void compare(const Snapshot& a, const Snapshot& b, Report& r)
{
    for (size_t i = 0; i < a.registers.size() && i < b.registers.size(); i++)
        if (a.registers[i].second != b.registers[i].second)
            r.line(a.registers[i].first, hex(a.registers[i].second), hex(b.registers[i].second));

    std::map<uint32_t, std::pair<const uint32_t*, const uint32_t*>> regs;
    for (const auto& [reg, v] : a.unmodelled)
        regs[reg].first = &v;
    for (const auto& [reg, v] : b.unmodelled)
        regs[reg].second = &v;
    for (const auto& [reg, p] : regs)
        if (!p.first || !p.second || *p.first != *p.second)
            r.line(fmt::format("reg 0x{:08x}", reg), p.first ? hex(*p.first) : "never written",
                   p.second ? hex(*p.second) : "never written");

    for (unsigned i = 0; i < 256; i++)
        if (a.ident.reg[i] != b.ident.reg[i])
            r.line(fmt::format("i2c-isb 0x{:02x} identification memory register 0x{:02x}", qxsim::IDENT_ADDR, i),
                   fmt::format("0x{:02x}", a.ident.reg[i]), fmt::format("0x{:02x}", b.ident.reg[i]));

    const qxsim::DacChipWiring* wirings[2] = {&qxsim::DAC_U12_WIRING, &qxsim::DAC_U14_WIRING};
    const qxsim::DacChipState* chips_a[2] = {&a.dac.u12, &a.dac.u14};
    const qxsim::DacChipState* chips_b[2] = {&b.dac.u12, &b.dac.u14};
    for (int c = 0; c < 2; c++) {
        std::string chip = fmt::format("i2c-isb 0x{:02x} DAC {}", wirings[c]->addr, wirings[c]->part);
        if (reference_text(*chips_a[c]) != reference_text(*chips_b[c]))
            r.line(chip, reference_text(*chips_a[c]), reference_text(*chips_b[c]));
        for (unsigned n = 0; n < qxsim::DAC_CHIP_OUTPUTS; n++) {
            std::string x = output_text(chips_a[c]->outputs[n]), y = output_text(chips_b[c]->outputs[n]);
            if (x != y)
                r.line(chip + " " + wirings[c]->outputs[n], x, y);
        }
    }

    std::map<std::pair<unsigned, uint32_t>, std::pair<const qxsim::RegisterDeviceState*, const qxsim::RegisterDeviceState*>>
        devices;
    for (const auto& [key, d] : a.devices)
        devices[key].first = &d;
    for (const auto& [key, d] : b.devices)
        devices[key].second = &d;
    for (const auto& [key, p] : devices) {
        std::string name = fmt::format("i2c-{} 0x{:02x}", qxsim::bus_name(static_cast<qxsim::Bus>(key.first)), key.second);
        auto kind = [](const qxsim::RegisterDeviceState* d) {
            return d ? fmt::format("{}: {}-bit registers", std::string(d->label, strnlen(d->label, sizeof d->label)),
                                   d->width * 8)
                     : std::string("no device");
        };
        if (!p.first || !p.second || kind(p.first) != kind(p.second)) {
            r.line(name, kind(p.first), kind(p.second));
            continue;
        }
        for (unsigned i = 0; i < 256; i++)
            if (p.first->reg[i] != p.second->reg[i])
                r.line(fmt::format("{} register 0x{:02x}", name, i), hex(p.first->reg[i]), hex(p.second->reg[i]));
    }

    if (a.protection != b.protection)
        r.line("flash protection", protection_text(a.protection, a.sectors), protection_text(b.protection, b.sectors));
    if (boot_text(a.boot) != boot_text(b.boot))
        r.line("flash boot", boot_text(a.boot), boot_text(b.boot));
}

// flash.bin holds each byte complemented.
uint32_t crc_of(int fd, uint64_t from, uint64_t to)
{
    std::vector<uint8_t> buf(1 << 16);
    uint32_t crc = 0;
    for (uint64_t at = from; at < to;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), to - at));
        ssize_t got = ::pread(fd, buf.data(), n, static_cast<off_t>(at));
        if (got <= 0)
            break;
        for (ssize_t i = 0; i < got; i++)
            buf[static_cast<size_t>(i)] = static_cast<uint8_t>(~buf[static_cast<size_t>(i)]);
        crc = qxsim::crc32_update(crc, buf.data(), static_cast<size_t>(got));
        at += static_cast<uint64_t>(got);
    }
    return crc;
}

// Ranges of the arrays that differ, from the first to the last differing
// byte of each run of differing sectors.
bool compare_flash(const std::string& here, const std::string& there, Report& r, std::string* err)
{
    int fa = ::open(here.c_str(), O_RDONLY | O_CLOEXEC);
    int fb = fa < 0 ? -1 : ::open(there.c_str(), O_RDONLY | O_CLOEXEC);
    if (fa < 0 || fb < 0) {
        *err = fmt::format("cannot read {}: {}", fa < 0 ? here : there, std::strerror(errno));
        if (fa >= 0)
            ::close(fa);
        return false;
    }
    const uint64_t sector = qxsim::EPCQ_SECTOR_SIZE;
    std::vector<uint8_t> x(sector), y(sector);
    bool in_run = false;
    uint64_t first = 0, last = 0;
    auto report = [&]() {
        r.line(fmt::format("flash 0x{:08x}..0x{:08x} ({} bytes)", first, last, last - first + 1),
               fmt::format("CRC-32 0x{:08X}", crc_of(fa, first, last + 1)),
               fmt::format("CRC-32 0x{:08X}", crc_of(fb, first, last + 1)));
        in_run = false;
    };
    for (uint64_t at = 0;; at += sector) {
        ssize_t na = ::pread(fa, x.data(), sector, static_cast<off_t>(at));
        ssize_t nb = ::pread(fb, y.data(), sector, static_cast<off_t>(at));
        if (na < 0 || nb < 0) {
            *err = fmt::format("cannot read {}: {}", na < 0 ? here : there, std::strerror(errno));
            ::close(fa);
            ::close(fb);
            return false;
        }
        if (na == 0 && nb == 0)
            break;
        // a shorter file reads as erased
        std::fill(x.begin() + na, x.end(), 0);
        std::fill(y.begin() + nb, y.end(), 0);
        if (std::memcmp(x.data(), y.data(), sector) == 0) {
            if (in_run)
                report();
            continue;
        }
        size_t lo = 0, hi = sector - 1;
        while (x[lo] == y[lo])
            lo++;
        while (x[hi] == y[hi])
            hi--;
        if (!in_run) {
            first = at + lo;
            in_run = true;
        }
        last = at + hi;
    }
    if (in_run)
        report();
    ::close(fa);
    ::close(fb);
    return true;
}

}  // namespace

int cmd_diff(const std::string& dir, const std::vector<std::string>& args)
{
    if (args.size() != 1) {
        std::fputs("usage: qxsim [--state DIR] diff OTHER_DIR\n", stderr);
        return 2;
    }
    std::string err;
    std::unique_ptr<qxsim::Camera> here = qxsim::Camera::open(dir, &err);
    std::unique_ptr<qxsim::Camera> there = here ? qxsim::Camera::open(args[0], &err) : nullptr;
    if (!here || !there) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }
    Report r;
    std::printf("camera %s | camera %s\n", dir.c_str(), args[0].c_str());
    compare(take(*here), take(*there), r);
    if (!compare_flash(dir + "/flash.bin", args[0] + "/flash.bin", r, &err)) {
        std::fprintf(stderr, "qxsim: %s\n", err.c_str());
        return 2;
    }
    if (r.differences == 0)
        std::printf("no differences\n");
    return r.differences ? 1 : 0;
}

}  // namespace qxsim_cli
