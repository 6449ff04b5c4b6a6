// Faults by name: the core's access faults (one table below) and the
// blocks' and bus devices' own, reached through "BLOCK.NAME" and
// "BLOCK.ADDR.NAME".
#include "qxsim/model/camera/camera.h"

#include "qxsim/model/fault_table.h"
#include "qxsim/model/fpga/fpga_status.h"
#include "qxsim/model/fpga/i2c_master.h"
#include "qxsim/trace/parse.h"
#include "qxsim/model/fpga/register_names.h"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <sstream>

namespace qxsim {

namespace {

// What the core's faults act on: the driver path's fault state, the access
// count now (counted faults are set relative to it) and the FPGA status
// register that "i2c-off" changes.
struct CoreFaults {
    AccessFaultState& f;
    uint64_t now;
    FpgaStatus& fpga;
};

using Args = std::vector<std::string>;

bool want_count(const char* name, const Args& args, uint32_t* n, std::string* error)
{
    if (args.size() != 1 || !parse_u32(args[0], n) || *n == 0) {
        *error = fmt::format("{} takes an access count N (1 for the next access)", name);
        return false;
    }
    return true;
}

const struct {
    int number;
    const char* name;
} signal_names[] = {
    {SIGHUP, "HUP"}, {SIGINT, "INT"}, {SIGQUIT, "QUIT"}, {SIGKILL, "KILL"},
    {SIGPIPE, "PIPE"}, {SIGTERM, "TERM"}, {SIGUSR1, "USR1"}, {SIGUSR2, "USR2"},
};

// "INT", "SIGINT" or "int".
bool parse_signal(std::string text, int* signal)
{
    for (char& ch : text)
        ch = char(toupper(static_cast<unsigned char>(ch)));
    if (text.compare(0, 3, "SIG") == 0)
        text.erase(0, 3);
    for (const auto& s : signal_names) {
        if (text == s.name) {
            *signal = s.number;
            return true;
        }
    }
    return false;
}

const char* signal_name(int signal)
{
    for (const auto& s : signal_names)
        if (s.number == signal)
            return s.name;
    return "?";
}

bool want_none(const char* name, const Args& args, std::string* error)
{
    if (!args.empty()) {
        *error = fmt::format("{} takes no argument", name);
        return false;
    }
    return true;
}

// The describe functions add to the "Access faults set:" line of `show`.
const FaultEntry<CoreFaults> core_fault_entries[] = {
    {"eio-reg", "REG [read|write]", "every access to register REG fails with EIO",
     [](CoreFaults& c, const Args& args, std::string* error) {
         uint32_t reg = 0;
         if (args.empty() || args.size() > 2 || !parse_register(args[0], &reg) ||
             (args.size() == 2 && args[1] != "read" && args[1] != "write")) {
             *error = "eio-reg takes a register (name or address) and optionally 'read' or 'write'";
             return false;
         }
         c.f.eio_reg = reg;
         c.f.eio_reg_dir = args.size() < 2 ? 0 : args[1] == "read" ? 1 : 2;
         c.f.eio_reg_on = 1;
         return true;
     },
     [](CoreFaults& c) { c.f.eio_reg_on = 0; },
     [](const CoreFaults& c, std::ostream& out) {
         if (c.f.eio_reg_on)
             out << fmt::format(" eio-reg 0x{:x}{}", c.f.eio_reg,
                                c.f.eio_reg_dir == 1 ? " read" : c.f.eio_reg_dir == 2 ? " write" : "");
     }},
    {"eio-at", "N", "the Nth register access from now fails with EIO",
     [](CoreFaults& c, const Args& args, std::string* error) {
         uint32_t n = 0;
         if (!want_count("eio-at", args, &n, error))
             return false;
         c.f.eio_at = c.now + n;
         c.f.eio_at_on = 1;
         return true;
     },
     [](CoreFaults& c) { c.f.eio_at_on = 0; },
     [](const CoreFaults& c, std::ostream& out) {
         if (c.f.eio_at_on)
             out << (c.f.eio_at > c.now ? fmt::format(" eio-at (in {} accesses)", c.f.eio_at - c.now)
                                        : std::string(" eio-at (passed)"));
     }},
    {"eio-from", "N", "the Nth register access from now and all after it fail with EIO",
     [](CoreFaults& c, const Args& args, std::string* error) {
         uint32_t n = 0;
         if (!want_count("eio-from", args, &n, error))
             return false;
         c.f.eio_from = c.now + n;
         c.f.eio_from_on = 1;
         return true;
     },
     [](CoreFaults& c) { c.f.eio_from_on = 0; },
     [](const CoreFaults& c, std::ostream& out) {
         if (c.f.eio_from_on)
             out << (c.f.eio_from > c.now ? fmt::format(" eio-from (in {} accesses)", c.f.eio_from - c.now)
                                          : std::string(" eio-from (active)"));
     }},
    {"power-cut", "N",
     "the process making the Nth register access from now is killed (SIGKILL) before it is applied",
     [](CoreFaults& c, const Args& args, std::string* error) {
         uint32_t n = 0;
         if (!want_count("power-cut", args, &n, error))
             return false;
         c.f.power_cut_at = c.now + n;
         c.f.power_cut_on = 1;
         return true;
     },
     [](CoreFaults& c) { c.f.power_cut_on = 0; },
     [](const CoreFaults& c, std::ostream& out) {
         if (c.f.power_cut_on)
             out << fmt::format(" power-cut (in {} accesses)", c.f.power_cut_at - c.now);
     }},
    {"kill-at", "N [SIGNAL]",
     "the process making the Nth register access from now is sent SIGNAL (default KILL: killed before the "
     "access is applied; another signal arrives as the access returns); the camera stays powered",
     [](CoreFaults& c, const Args& args, std::string* error) {
         uint32_t n = 0;
         int signal = SIGKILL;
         if (args.empty() || args.size() > 2 || !parse_u32(args[0], &n) || n == 0 ||
             (args.size() == 2 && !parse_signal(args[1], &signal))) {
             *error = "kill-at takes an access count N (1 for the next access) and optionally a signal "
                      "(HUP, INT, QUIT, KILL, PIPE, TERM, USR1, USR2)";
             return false;
         }
         c.f.kill_at = c.now + n;
         c.f.kill_at_signal = signal;
         c.f.kill_at_on = 1;
         return true;
     },
     [](CoreFaults& c) { c.f.kill_at_on = 0; },
     [](const CoreFaults& c, std::ostream& out) {
         if (c.f.kill_at_on)
             out << fmt::format(" kill-at{} (in {} accesses)",
                                c.f.kill_at_signal == SIGKILL ? "" : " SIG" + std::string(signal_name(c.f.kill_at_signal)),
                                c.f.kill_at - c.now);
     }},
    {"dev-missing", "", "opening /dev/qx_fpga fails with ENOENT",
     [](CoreFaults& c, const Args& args, std::string* error) {
         if (!want_none("dev-missing", args, error))
             return false;
         c.f.dev_open_errno = ENOENT;
         return true;
     },
     [](CoreFaults& c) { c.f.dev_open_errno = 0; },
     [](const CoreFaults& c, std::ostream& out) {
         if (c.f.dev_open_errno == ENOENT)
             out << " dev-missing";
     }},
    {"dev-denied", "", "opening /dev/qx_fpga fails with EACCES",
     [](CoreFaults& c, const Args& args, std::string* error) {
         if (!want_none("dev-denied", args, error))
             return false;
         c.f.dev_open_errno = EACCES;
         return true;
     },
     [](CoreFaults& c) { c.f.dev_open_errno = 0; },
     [](const CoreFaults& c, std::ostream& out) {
         if (c.f.dev_open_errno == EACCES)
             out << " dev-denied";
     }},
    {"proc-missing", "", "opening /proc/qx_pci/regs fails with ENOENT",
     [](CoreFaults& c, const Args& args, std::string* error) {
         if (!want_none("proc-missing", args, error))
             return false;
         c.f.proc_open_errno = ENOENT;
         return true;
     },
     [](CoreFaults& c) { c.f.proc_open_errno = 0; },
     [](const CoreFaults& c, std::ostream& out) {
         if (c.f.proc_open_errno == ENOENT)
             out << " proc-missing";
     }},
    {"proc-denied", "", "opening /proc/qx_pci/regs fails with EACCES",
     [](CoreFaults& c, const Args& args, std::string* error) {
         if (!want_none("proc-denied", args, error))
             return false;
         c.f.proc_open_errno = EACCES;
         return true;
     },
     [](CoreFaults& c) { c.f.proc_open_errno = 0; },
     [](const CoreFaults& c, std::ostream& out) {
         if (c.f.proc_open_errno == EACCES)
             out << " proc-denied";
     }},
    // Shown by the FPGA block ("I2C bus DISABLED").
    {"i2c-off", "", "FPGA_STATUS shows the I2C bus disabled",
     [](CoreFaults& c, const Args& args, std::string* error) {
         if (!want_none("i2c-off", args, error))
             return false;
         c.fpga.set_i2c_enabled(false);
         return true;
     },
     [](CoreFaults& c) { c.fpga.set_i2c_enabled(true); },
     nullptr},
};

const FaultTable<CoreFaults> core_faults(core_fault_entries);

void split_name(const std::string& name, std::string* first, std::string* rest)
{
    size_t dot = name.find('.');
    *first = name.substr(0, dot);
    *rest = dot == std::string::npos ? "" : name.substr(dot + 1);
}

// "BLOCK.0xADDR[.FAULT]" on an I2C master: the device, or null with *err
// filled in when nobody answers there. *is_device tells whether the name
// addresses a device at all.
I2cDevice* device_of(I2cMaster* master, const std::string& rest, bool* is_device, std::string* fault,
                     std::string* err)
{
    std::string addr_text;
    split_name(rest, &addr_text, fault);
    uint32_t addr = 0;
    *is_device = master && parse_u32(addr_text, &addr);
    if (!*is_device)
        return nullptr;
    I2cDevice* d = addr <= 0xFF ? master->device_at(static_cast<uint8_t>(addr)) : nullptr;
    if (!d)
        *err = fmt::format("no device at 0x{:02x} on {}", addr, master->name());
    return d;
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
        bool is_device = false;
        std::string fault;
        I2cDevice* d = device_of(i2c_named(head), rest, &is_device, &fault, err);
        if (is_device && !fault.empty())
            return d && d->set_fault(fault, args, err);
        return b->set_fault(rest, args, err);
    }
    if (!core_faults.find(name)) {
        *err = fmt::format("unknown fault '{}' (qxsim fault list shows them)", name);
        return false;
    }
    CoreFaults c{state_->core.faults, state_->core.accesses, *fpga_};
    bool ok = core_faults.set(c, name, args, "the camera", err);
    update_armed(c.f);
    return ok;
}

bool Camera::clear_faults(const std::string& target, std::string* err)
{
    Lock lock(*this);
    CoreFaults c{state_->core.faults, state_->core.accesses, *fpga_};
    if (target.empty()) {
        core_faults.clear_all(c);
        update_armed(c.f);
        for (RegisterBlock* b : blocks_)
            b->clear_faults();
        for (auto& d : owned_devices_)
            d->clear_faults();
        return true;
    }
    std::string head, rest;
    split_name(target, &head, &rest);
    if (RegisterBlock* b = block(head)) {
        bool is_device = false;
        std::string fault;
        I2cDevice* d = device_of(i2c_named(head), rest, &is_device, &fault, err);
        if (is_device) {
            if (!d)
                return false;
            if (fault.empty()) {
                d->clear_faults();
                return true;
            }
            return d->clear_fault(fault, err);
        }
        if (rest.empty()) {
            b->clear_faults();
            return true;
        }
        return b->clear_fault(rest, err);
    }
    if (!core_faults.find(target)) {
        *err = fmt::format("no fault or block '{}'", target);
        return false;
    }
    core_faults.clear(c, target, "the camera", err);
    update_armed(c.f);
    return true;
}

void Camera::list_faults(std::ostream& out)
{
    Lock lock(*this);
    core_faults.list(out);
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
    CoreFaults c{state_->core.faults, state_->core.accesses, *fpga_};
    std::ostringstream set;
    core_faults.describe(c, set);
    out << "Access faults set:" << (set.str().empty() ? " none" : set.str()) << "\n";
    // Fired counts are per mechanism: one for both open faults of a file.
    const AccessFaultState& f = state_->core.faults;
    std::string fired;
    auto add = [&fired](const char* name, uint64_t n) {
        if (n)
            fired += fmt::format(" {} x{}", name, n);
    };
    add("eio-reg", f.eio_reg_fired);
    add("eio-at", f.eio_at_fired);
    add("eio-from", f.eio_from_fired);
    add("power-cut", f.power_cut_fired);
    add("kill-at", f.kill_at_fired);
    add("open-device", f.dev_open_fired);
    add("open-proc", f.proc_open_fired);
    out << "Access faults fired:" << (fired.empty() ? " none" : fired) << "\n";
}

}  // namespace qxsim
