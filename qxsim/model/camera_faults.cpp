// Faults by name: the core's access faults and the blocks' and bus
// devices' own, reached through "BLOCK.NAME" and "BLOCK.ADDR.NAME".
#include "qxsim/model/camera.h"

#include "qxsim/model/fpga_status.h"
#include "qxsim/model/i2c_master.h"
#include "qxsim/model/parse.h"

#include <fmt/format.h>

#include <cerrno>
#include <sstream>

namespace qxsim {

namespace {

struct CoreFault {
    const char* name;
    const char* args;
    const char* help;
};
const CoreFault core_faults[] = {
    {"eio-reg", "REG [read|write]", "every access to register REG fails with EIO"},
    {"eio-at", "N", "the Nth register access from now fails with EIO"},
    {"eio-from", "N", "the Nth register access from now and all after it fail with EIO"},
    {"power-cut", "N", "the process making the Nth register access from now is killed (SIGKILL) before it is applied"},
    {"dev-missing", "", "opening /dev/qx_fpga fails with ENOENT"},
    {"dev-denied", "", "opening /dev/qx_fpga fails with EACCES"},
    {"proc-missing", "", "opening /proc/qx_pci/regs fails with ENOENT"},
    {"proc-denied", "", "opening /proc/qx_pci/regs fails with EACCES"},
    {"i2c-off", "", "FPGA_STATUS shows the I2C bus disabled"},
};

void split_name(const std::string& name, std::string* first, std::string* rest)
{
    size_t dot = name.find('.');
    *first = name.substr(0, dot);
    *rest = dot == std::string::npos ? "" : name.substr(dot + 1);
}

}  // namespace

bool Camera::set_fault(const std::string& name, const std::vector<std::string>& args, std::string* err)
{
    Lock lock(*this);
    std::string head, rest;
    split_name(name, &head, &rest);
    if (!rest.empty()) {
        RegisterBlock* b = block(head);
        if (!b) {
            *err = fmt::format("no block '{}'", head);
            return false;
        }
        I2cMaster* master = i2c_named(head);
        std::string addr_text, fault;
        split_name(rest, &addr_text, &fault);
        uint32_t addr = 0;
        if (master && !fault.empty() && parse_u32(addr_text, &addr)) {
            I2cDevice* d = addr <= 0xFF ? master->device_at(static_cast<uint8_t>(addr)) : nullptr;
            if (!d) {
                *err = fmt::format("no device at 0x{:02x} on {}", addr, head);
                return false;
            }
            return d->set_fault(fault, args, err);
        }
        return b->set_fault(rest, args, err);
    }

    AccessFaultState& f = state_->core.faults;
    uint64_t now = state_->core.accesses;
    uint32_t n = 0;
    auto want_count = [&]() {
        if (args.size() != 1 || !parse_u32(args[0], &n) || n == 0) {
            *err = fmt::format("{} takes an access count N (1 for the next access)", name);
            return false;
        }
        return true;
    };
    auto want_none = [&]() {
        if (!args.empty()) {
            *err = fmt::format("{} takes no argument", name);
            return false;
        }
        return true;
    };
    if (name == "eio-reg") {
        uint32_t reg = 0;
        uint32_t dir = 0;
        if (args.empty() || args.size() > 2 || !parse_u32(args[0], &reg) ||
            (args.size() == 2 && args[1] != "read" && args[1] != "write")) {
            *err = "eio-reg takes a register and optionally 'read' or 'write'";
            return false;
        }
        if (args.size() == 2)
            dir = args[1] == "read" ? 1 : 2;
        f.eio_reg = reg;
        f.eio_reg_dir = dir;
        f.eio_reg_on = 1;
    } else if (name == "eio-at") {
        if (!want_count())
            return false;
        f.eio_at = now + n;
        f.eio_at_on = 1;
    } else if (name == "eio-from") {
        if (!want_count())
            return false;
        f.eio_from = now + n;
        f.eio_from_on = 1;
    } else if (name == "power-cut") {
        if (!want_count())
            return false;
        f.power_cut_at = now + n;
        f.power_cut_on = 1;
    } else if (name == "dev-missing" || name == "dev-denied") {
        if (!want_none())
            return false;
        f.dev_open_errno = name == "dev-missing" ? ENOENT : EACCES;
    } else if (name == "proc-missing" || name == "proc-denied") {
        if (!want_none())
            return false;
        f.proc_open_errno = name == "proc-missing" ? ENOENT : EACCES;
    } else if (name == "i2c-off") {
        if (!want_none())
            return false;
        fpga_->set_i2c_enabled(false);
    } else {
        *err = fmt::format("unknown fault '{}' (qxsim fault list shows them)", name);
        return false;
    }
    f.armed = f.eio_reg_on | f.eio_at_on | f.eio_from_on | f.power_cut_on;
    return true;
}

bool Camera::clear_faults(const std::string& target, std::string* err)
{
    Lock lock(*this);
    AccessFaultState& f = state_->core.faults;
    std::string head, rest;
    split_name(target, &head, &rest);
    if (target.empty()) {
        uint64_t fired[6] = {f.eio_reg_fired, f.eio_at_fired, f.eio_from_fired,
                             f.power_cut_fired, f.dev_open_fired, f.proc_open_fired};
        f = AccessFaultState{};
        f.eio_reg_fired = fired[0];
        f.eio_at_fired = fired[1];
        f.eio_from_fired = fired[2];
        f.power_cut_fired = fired[3];
        f.dev_open_fired = fired[4];
        f.proc_open_fired = fired[5];
        fpga_->set_i2c_enabled(true);
        for (RegisterBlock* b : blocks_)
            b->clear_faults();
        for (auto& d : owned_devices_)
            d->clear_faults();
        return true;
    }
    if (RegisterBlock* b = block(head)) {
        I2cMaster* master = i2c_named(head);
        std::string addr_text, fault;
        split_name(rest, &addr_text, &fault);
        uint32_t addr = 0;
        if (master && parse_u32(addr_text, &addr)) {
            I2cDevice* d = addr <= 0xFF ? master->device_at(static_cast<uint8_t>(addr)) : nullptr;
            if (!d) {
                *err = fmt::format("no device at 0x{:02x} on {}", addr, head);
                return false;
            }
            d->clear_faults();
            return true;
        }
        b->clear_faults();
        return true;
    }
    if (target == "eio-reg")
        f.eio_reg_on = 0;
    else if (target == "eio-at")
        f.eio_at_on = 0;
    else if (target == "eio-from")
        f.eio_from_on = 0;
    else if (target == "power-cut")
        f.power_cut_on = 0;
    else if (target == "dev-missing" || target == "dev-denied")
        f.dev_open_errno = 0;
    else if (target == "proc-missing" || target == "proc-denied")
        f.proc_open_errno = 0;
    else if (target == "i2c-off")
        fpga_->set_i2c_enabled(true);
    else {
        *err = fmt::format("no fault or block '{}'", target);
        return false;
    }
    f.armed = f.eio_reg_on | f.eio_at_on | f.eio_from_on | f.power_cut_on;
    return true;
}

void Camera::list_faults(std::ostream& out)
{
    Lock lock(*this);
    for (const CoreFault& cf : core_faults)
        out << cf.name << (cf.args[0] ? " " : "") << cf.args << "  " << cf.help << "\n";
    auto prefixed = [&out](const std::string& prefix, const std::string& text) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line))
            out << prefix << line << "\n";
    };
    for (RegisterBlock* b : blocks_) {
        std::ostringstream s;
        b->list_faults(s);
        prefixed(std::string(b->name()) + ".", s.str());
        if (I2cMaster* master = i2c_named(b->name())) {
            for (I2cDevice* d : master->devices()) {
                int addr = primary_address(*d);
                if (addr < 0)
                    continue;
                std::ostringstream ds;
                d->list_faults(ds);
                prefixed(fmt::format("{}.0x{:02x}.", b->name(), addr), ds.str());
            }
        }
    }
}

void Camera::describe_faults(std::ostream& out) const
{
    const AccessFaultState& f = state_->core.faults;
    uint64_t now = state_->core.accesses;
    std::string set;
    if (f.eio_reg_on)
        set += fmt::format(" eio-reg 0x{:x}{}", f.eio_reg, f.eio_reg_dir == 1 ? " read" : f.eio_reg_dir == 2 ? " write" : "");
    if (f.eio_at_on)
        set += f.eio_at > now ? fmt::format(" eio-at (in {} accesses)", f.eio_at - now) : std::string(" eio-at (passed)");
    if (f.eio_from_on)
        set += f.eio_from > now ? fmt::format(" eio-from (in {} accesses)", f.eio_from - now) : std::string(" eio-from (active)");
    if (f.power_cut_on)
        set += fmt::format(" power-cut (in {} accesses)", f.power_cut_at - now);
    if (f.dev_open_errno)
        set += f.dev_open_errno == ENOENT ? " dev-missing" : " dev-denied";
    if (f.proc_open_errno)
        set += f.proc_open_errno == ENOENT ? " proc-missing" : " proc-denied";
    out << "Access faults set:" << (set.empty() ? " none" : set) << "\n";
    std::string fired;
    auto add = [&fired](const char* name, uint64_t n) {
        if (n)
            fired += fmt::format(" {} x{}", name, n);
    };
    add("eio-reg", f.eio_reg_fired);
    add("eio-at", f.eio_at_fired);
    add("eio-from", f.eio_from_fired);
    add("power-cut", f.power_cut_fired);
    add("open-device", f.dev_open_fired);
    add("open-proc", f.proc_open_fired);
    out << "Access faults fired:" << (fired.empty() ? " none" : fired) << "\n";
}
}  // namespace qxsim
