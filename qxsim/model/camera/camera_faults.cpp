// Faults by name: the driver path's own (one table below, with their
// effects) and the blocks' and bus devices' faults, reached through
// "BLOCK.NAME" and "BLOCK.ADDR.NAME".
#include "qxsim/model/camera/camera.h"

#include "qxsim/model/fault_table.h"
#include "qxsim/model/fpga/fpga_status.h"
#include "qxsim/model/fpga/i2c_master.h"
#include "qxsim/model/fpga/register_names.h"
#include "qxsim/trace/parse.h"

#include <fmt/format.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <sstream>

namespace qxsim {

namespace {

// eio-reg's register, by name or address, and the direction it fails.
bool parse_eio_reg(FaultSlot& slot, const FaultArgs& args)
{
    uint32_t reg = 0;
    if (args.empty() || args.size() > 2 || !parse_register(args[0], &reg) ||
        (args.size() == 2 && args[1] != "read" && args[1] != "write"))
        return false;
    slot.arg[0] = reg;
    slot.arg[1] = args.size() < 2 ? 0 : args[1] == "read" ? 1 : 2;
    return true;
}

std::string show_eio_reg(const FaultSlot& slot)
{
    return fmt::format("0x{:x}{}", slot.arg[0], slot.arg[1] == 1 ? " read" : slot.arg[1] == 2 ? " write" : "");
}

// The Nth access from now (counted in `seen`), once it is reached.
std::string show_access(const FaultSlot& slot, const char* reached)
{
    return slot.seen < slot.arg[0] ? fmt::format("(in {} accesses)", slot.arg[0] - slot.seen) : reached;
}

const struct {
    int number;
    const char* name;
} signal_names[] = {
    {SIGHUP, "HUP"}, {SIGINT, "INT"}, {SIGQUIT, "QUIT"}, {SIGKILL, "KILL"},
    {SIGPIPE, "PIPE"}, {SIGTERM, "TERM"}, {SIGUSR1, "USR1"}, {SIGUSR2, "USR2"},
};

// kill-at's count, and its signal ("INT", "SIGINT" or "int"; KILL if none).
bool parse_kill_at(FaultSlot& slot, const FaultArgs& args)
{
    uint32_t n = 0;
    if (args.empty() || args.size() > 2 || !parse_u32(args[0], &n) || n == 0)
        return false;
    slot.arg[0] = n;
    slot.arg[1] = SIGKILL;
    if (args.size() < 2)
        return true;
    std::string name = args[1];
    for (char& ch : name)
        ch = char(toupper(static_cast<unsigned char>(ch)));
    if (name.compare(0, 3, "SIG") == 0)
        name.erase(0, 3);
    for (const auto& s : signal_names) {
        if (name == s.name) {
            slot.arg[1] = uint64_t(s.number);
            return true;
        }
    }
    return false;
}

std::string show_kill_at(const FaultSlot& slot)
{
    std::string signal;
    for (const auto& s : signal_names)
        if (slot.arg[1] != SIGKILL && uint64_t(s.number) == slot.arg[1])
            signal = std::string("SIG") + s.name + " ";
    return signal + show_access(slot, "");
}

// The describe functions add to the "Access faults set:" line of `show`.
enum CoreFault : unsigned { EIO_REG, EIO_AT, EIO_FROM, POWER_CUT, KILL_AT, OPEN_ERROR, I2C_OFF };
constexpr FaultEntry core_fault_entries[] = {
    {"eio-reg", "REG [read|write]", "every access to register REG fails with EIO",
     "eio-reg takes a register (name or address) and optionally 'read' or 'write'", "", parse_eio_reg, show_eio_reg},
    {"eio-at", "N", "the Nth register access from now fails with EIO",
     "eio-at takes an access count N (1 for the next access)", "", nullptr,
     [](const FaultSlot& s) { return show_access(s, "(passed)"); }},
    {"eio-from", "N", "the Nth register access from now and all after it fail with EIO",
     "eio-from takes an access count N (1 for the next access)", "", nullptr,
     [](const FaultSlot& s) { return show_access(s, "(active)"); }},
    {"power-cut", "N", "the power fails before the Nth register access from now: its process is killed (SIGKILL), the camera stays off until power-cycle",
     "power-cut takes an access count N (1 for the next access)", "", nullptr,
     [](const FaultSlot& s) { return show_access(s, ""); }},
    {"kill-at", "N [SIGNAL]",
     "the process making the Nth register access from now is sent SIGNAL (default KILL: killed before the "
     "access is applied; another signal arrives as the access returns); the camera stays powered",
     "kill-at takes an access count N (1 for the next access) and optionally a signal "
     "(HUP, INT, QUIT, KILL, PIPE, TERM, USR1, USR2)",
     "", parse_kill_at, show_kill_at},
    {"open-error", "dev|proc ENOENT|EACCES",
     "opening /dev/qx_fpga (dev) or /proc/qx_pci/regs (proc) fails with ENOENT or EACCES",
     "open-error takes dev or proc, and ENOENT or EACCES", "dev|proc"},
    // Shown by the FPGA block too ("I2C bus DISABLED").
    {"i2c-off", "", "FPGA_STATUS shows the I2C bus disabled", "i2c-off takes no argument"},
};
constexpr FaultAlias core_fault_aliases[] = {
    {"dev-missing", "open-error", "dev ENOENT"},
    {"dev-denied", "open-error", "dev EACCES"},
    {"proc-missing", "open-error", "proc ENOENT"},
    {"proc-denied", "open-error", "proc EACCES"},
};
constexpr FaultTable core_faults(core_fault_entries, core_fault_aliases);
constexpr int OPEN_ERRNO[] = {ENOENT, EACCES};  // open-error's choices

FaultSlot& slot(AccessFaultState& f, CoreFault id, unsigned part = 0)
{
    return f.state.slot[core_faults.first(id) + part];
}

void split_name(const std::string& name, std::string* first, std::string* rest)
{
    size_t dot = name.find('.');
    *first = name.substr(0, dot);
    *rest = dot == std::string::npos ? "" : name.substr(dot + 1);
}

// "BLOCK.0xADDR[.FAULT]" on an I2C master: the device, or null with *err
// filled in when nobody answers there. *is_device tells whether the name
// addresses a device at all.
I2cDevice* device_of(I2cMaster* master, const std::string& rest, bool* is_device, std::string* fault, std::string* err)
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

// Every armed access-count fault counts this access, then the first that
// applies has its effect. A kill-at with a signal other than KILL lets the
// access through and leaves the signal in *signal.
int Camera::access_fault(uint32_t reg, bool write, Halt* halt, int* signal)
{
    AccessFaultState& f = state_->core.faults;
    for (CoreFault at : {EIO_AT, EIO_FROM, POWER_CUT, KILL_AT})
        if (FaultSlot& s = slot(f, at); s.armed)
            s.seen++;
    for (CoreFault cut : {POWER_CUT, KILL_AT}) {
        FaultSlot& s = slot(f, cut);
        if (s.armed && s.seen == s.arg[0]) {
            // used up: the camera works for the next process
            s.armed = 0;
            s.fired++;
            faults_changed();
            if (cut == KILL_AT && s.arg[1] != SIGKILL) {
                *signal = static_cast<int>(s.arg[1]);
                break;
            }
            *halt = cut == POWER_CUT ? Halt::power_cut : Halt::kill;
            return 0;
        }
    }
    FaultSlot& on_reg = slot(f, EIO_REG);
    if (on_reg.armed && reg == on_reg.arg[0] && (on_reg.arg[1] == 0 || (on_reg.arg[1] == 2) == write)) {
        on_reg.fired++;
        return EIO;
    }
    FaultSlot& at = slot(f, EIO_AT);
    FaultSlot& from = slot(f, EIO_FROM);
    if ((at.armed && at.seen == at.arg[0]) || (from.armed && from.seen >= from.arg[0])) {
        (at.armed && at.seen == at.arg[0] ? at : from).fired++;
        return EIO;
    }
    return 0;
}

int Camera::open_fault(DriverFile file)
{
    FaultSlot& s = slot(state_->core.faults, OPEN_ERROR, static_cast<unsigned>(file));
    if (!s.armed || s.arg[0] < 1 || s.arg[0] > 2)
        return 0;
    s.fired++;
    return OPEN_ERRNO[s.arg[0] - 1];
}

void Camera::faults_changed()
{
    AccessFaultState& f = state_->core.faults;
    f.armed = core_faults.any_armed(f.state) || state_->core.powered_off;
}

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
    FaultArgs all;
    int id = core_faults.find(name, &all);
    if (id < 0) {
        *err = fmt::format("unknown fault '{}' (qxsim fault list shows them)", name);
        return false;
    }
    all.insert(all.end(), args.begin(), args.end());
    bool ok = core_faults.set(state_->core.faults.state, static_cast<unsigned>(id), all, err);
    if (ok && id == I2C_OFF)
        fpga_->set_i2c_enabled(false);
    faults_changed();
    return ok;
}

bool Camera::clear_faults(const std::string& target, std::string* err)
{
    Lock lock(*this);
    AccessFaultState& f = state_->core.faults;
    if (target.empty()) {
        for (unsigned id = 0; id < core_faults.size(); id++)
            core_faults.clear(f.state, id, {});
        fpga_->set_i2c_enabled(true);
        faults_changed();
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
    FaultArgs implied;
    int id = core_faults.find(target, &implied);
    if (id < 0) {
        *err = fmt::format("no fault or block '{}'", target);
        return false;
    }
    core_faults.clear(f.state, static_cast<unsigned>(id), implied);
    if (id == I2C_OFF)
        fpga_->set_i2c_enabled(true);
    faults_changed();
    return true;
}

void Camera::list_faults(std::ostream& out)
{
    Lock lock(*this);
    core_faults.list(out);
    auto prefixed = [&out](const std::string& prefix, const FaultHost& host) {
        std::ostringstream s;
        host.list_faults(s);
        std::istringstream in(s.str());
        std::string line;
        while (std::getline(in, line))
            out << prefix << line << "\n";
    };
    for (RegisterBlock* b : blocks_) {
        prefixed(std::string(b->name()) + ".", *b);
        if (I2cMaster* master = i2c_named(b->name()))
            for (I2cDevice* d : master->devices())
                if (int addr = primary_address(*d); addr >= 0)
                    prefixed(fmt::format("{}.0x{:02x}.", b->name(), addr), *d);
    }
}

// One line of the faults set, one of how often each fired.
void Camera::describe_faults(std::ostream& out) const
{
    const FaultSlots& state = state_->core.faults.state;
    std::string set, fired;
    for (unsigned id = 0; id < core_faults.size(); id++)
        for (unsigned p = 0; p < core_faults.parts(id); p++) {
            const FaultSlot& s = state.slot[core_faults.first(id) + p];
            if (s.armed)
                set += " " + core_faults.text(state, id, p);
            if (s.fired)
                fired += fmt::format(" {} x{}", core_faults.label(id, p), s.fired);
        }
    out << "Access faults set:" << (set.empty() ? " none" : set) << "\n";
    out << "Access faults fired:" << (fired.empty() ? " none" : fired) << "\n";
}

}  // namespace qxsim
