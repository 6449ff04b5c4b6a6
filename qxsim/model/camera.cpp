#include "qxsim/model/camera.h"

#include "qxsim/model/asmi_controller.h"
#include "qxsim/model/channel_regs.h"
#include "qxsim/model/dac_chip.h"
#include "qxsim/model/flash_parts.h"
#include "qxsim/model/fpga_status.h"
#include "qxsim/model/i2c_master.h"
#include "qxsim/model/ident_memory.h"
#include "qxsim/model/parse.h"
#include "qxsim/model/proc_line.h"
#include "qxsim/model/register_device.h"
#include "qxsim/model/register_file.h"
#include "qxsim/model/release_images.h"
#include "qxsim/model/tool_locks.h"

#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxsim {

namespace {

const char state_name[] = "/camera.state";

std::string sys_error(const std::string& what, int err)
{
    return fmt::format("{}: {}", what, std::strerror(err));
}

bool make_dirs(const std::string& dir, std::string* err)
{
    for (size_t pos = 1; pos <= dir.size(); pos++) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            *err = sys_error("cannot create " + part, errno);
            return false;
        }
    }
    return true;
}

bool touch(const std::string& path, std::string* err)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = sys_error("cannot create " + path, errno);
        return false;
    }
    ::close(fd);
    return true;
}

// Generic bus devices every fresh camera carries, so that a register dump
// of each bus finds something.
struct PresetDevice {
    Bus bus;
    uint8_t addr;
    unsigned width;
    const char* label;
};
const PresetDevice preset_devices[] = {
    {BUS_MAIN, 0x20, 1, "port-expander"},
    {BUS_MAIN, 0x48, 2, "temp-sensor"},
    {BUS_IOB, 0x3C, 4, "iob-controller"},
    {BUS_IOB, 0x21, 1, "led-driver"},
};

}  // namespace

const char* bus_name(Bus bus)
{
    static const char* const names[BUS_COUNT] = {"main", "isb", "iob"};
    return names[bus];
}

bool parse_bus(const std::string& text, Bus* bus)
{
    for (unsigned b = 0; b < BUS_COUNT; b++) {
        std::string n = bus_name(static_cast<Bus>(b));
        if (text == n || text == "i2c-" + n) {
            *bus = static_cast<Bus>(b);
            return true;
        }
    }
    return false;
}

// ---- construction -------------------------------------------------------

Camera::Camera(const std::string& dir, CameraState* state, size_t map_size)
    : dir_(dir), state_(state), map_size_(map_size)
{
    build();
}

Camera::~Camera()
{
    if (trace_fd_ >= 0)
        ::close(trace_fd_);
    ::munmap(state_, map_size_);
}

// Every block and bus device of the camera, in decode order. A new block
// gets its state struct in CameraState and one line here.
void Camera::build()
{
    CameraState& s = *state_;
    auto add_block = [this](auto block) {
        auto* raw = block.get();
        blocks_.push_back(raw);
        owned_blocks_.push_back(std::move(block));
        return raw;
    };
    auto add_device = [this](Bus bus, auto device) {
        auto* raw = device.get();
        i2c_[bus]->attach(raw);
        owned_devices_.push_back(std::move(device));
        return raw;
    };

    fpga_ = add_block(std::make_unique<FpgaStatus>(s.fpga_status));
    i2c_[BUS_MAIN] = add_block(std::make_unique<I2cMaster>("i2c-main", I2C_MAIN_BASE, s.i2c[BUS_MAIN], *fpga_));
    i2c_[BUS_ISB] = add_block(std::make_unique<I2cMaster>("i2c-isb", I2C_ISB_BASE, s.i2c[BUS_ISB], *fpga_));
    i2c_[BUS_IOB] = add_block(std::make_unique<I2cMaster>("i2c-iob", I2C_IOB_BASE, s.i2c[BUS_IOB], *fpga_));

    ident_ = add_device(BUS_ISB, std::make_unique<IdentMemory>(s.ident));
    add_device(BUS_ISB, std::make_unique<DacChip>(DAC_U12_WIRING, s.dac.u12));
    add_device(BUS_ISB, std::make_unique<DacChip>(DAC_U14_WIRING, s.dac.u14));
    for (unsigned b = 0; b < BUS_COUNT; b++)
        for (unsigned i = 0; i < REGISTER_DEVICES_PER_BUS; i++)
            regdev_[b][i] = add_device(static_cast<Bus>(b), std::make_unique<RegisterDevice>(s.regdev[b][i]));

    add_block(std::make_unique<ChannelRegs>(s.channels));

    // The serial-flash controller, with the EPCQ-L chip and the FPGA's
    // configuration logic behind it.
    flash_ = std::make_unique<FlashParts>(s.epcq, s.boot, dir_ + "/flash.bin");
    asmi_ = add_block(std::make_unique<AsmiController>(s.asmi, flash_->chip, flash_->boot));

    // Registers nobody else decodes: always last.
    regfile_ = add_block(std::make_unique<RegisterFile>(s.regfile));
}

std::unique_ptr<Camera> Camera::open(const std::string& dir, std::string* err)
{
    std::string path = dir + state_name;
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *err = errno == ENOENT ? fmt::format("no simulated camera in {} (create one with: qxsim --state {} create)", dir, dir)
                               : sys_error("cannot open " + path, errno);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) != sizeof(CameraState)) {
        ::close(fd);
        *err = fmt::format("{} was made by another version of the simulator; re-create the camera "
                           "(qxsim --state {} create --force)", path, dir);
        return nullptr;
    }
    void* map = ::mmap(nullptr, sizeof(CameraState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int map_errno = errno;
    ::close(fd);
    if (map == MAP_FAILED) {
        *err = sys_error("cannot map " + path, map_errno);
        return nullptr;
    }
    auto* state = static_cast<CameraState*>(map);
    if (state->core.magic != STATE_MAGIC || state->core.version != STATE_VERSION ||
        state->core.size != sizeof(CameraState)) {
        ::munmap(map, sizeof(CameraState));
        *err = fmt::format("{} was made by another version of the simulator; re-create the camera "
                           "(qxsim --state {} create --force)", path, dir);
        return nullptr;
    }
    std::unique_ptr<Camera> cam(new Camera(dir, state, sizeof(CameraState)));
    if (!cam->flash_->ok) {
        *err = cam->flash_->error;
        return nullptr;
    }
    return cam;
}

// The state is built in a private file and published by one link (or, to
// replace a camera, one rename): an opener sees either no camera or a
// complete one.
bool Camera::create(const std::string& dir, const CreateOptions& options, std::string* err)
{
    std::string path = dir + state_name;
    if (!make_dirs(dir, err) || !make_dirs(dir + "/firmware", err) || !make_dirs(dir + "/locks", err))
        return false;
    if (!options.force && ::access(path.c_str(), F_OK) == 0) {
        *err = fmt::format("a camera already exists in {} (use --force to replace it)", dir);
        return false;
    }
    static unsigned serial;
    std::string tmp = fmt::format("{}/.camera.state.{}.{}", dir, ::getpid(), serial++);
    int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        *err = sys_error("cannot create " + tmp, errno);
        return false;
    }
    if (::ftruncate(fd, sizeof(CameraState)) != 0) {
        *err = sys_error("cannot size " + tmp, errno);
        ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    }
    void* map = ::mmap(nullptr, sizeof(CameraState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        *err = sys_error("cannot map " + tmp, errno);
        ::unlink(tmp.c_str());
        return false;
    }
    auto* state = static_cast<CameraState*>(map);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&state->core.lock, &attr);
    pthread_mutexattr_destroy(&attr);
    state->core.sensor_code = options.sensor_code;
    {
        Camera cam(dir, state, sizeof(CameraState));
        if (!cam.flash_->ok) {
            *err = cam.flash_->error;
            ::unlink(tmp.c_str());
            return false;
        }
        cam.reset_locked();
        for (const PresetDevice& p : preset_devices)
            cam.register_device_slot(p.bus, p.addr)->install(p.addr, p.width, p.label);
        state->core.version = STATE_VERSION;
        state->core.size = sizeof(CameraState);
        state->core.magic = STATE_MAGIC;
    }  // unmaps
    if (!touch(dir + "/qx_fpga", err) || !touch(dir + "/proc_regs", err) ||
        !write_release_images(dir + "/firmware", err)) {
        ::unlink(tmp.c_str());
        return false;
    }
    ::unlink((dir + "/trace.log").c_str());
    int rc = options.force ? ::rename(tmp.c_str(), path.c_str()) : ::link(tmp.c_str(), path.c_str());
    int rc_errno = errno;
    if (!options.force)
        ::unlink(tmp.c_str());
    if (rc != 0) {
        ::unlink(tmp.c_str());
        *err = rc_errno == EEXIST ? fmt::format("a camera already exists in {} (use --force to replace it)", dir)
                                  : sys_error("cannot publish " + path, rc_errno);
        return false;
    }
    return true;
}

// ---- lock ---------------------------------------------------------------

// A process killed while it held the lock leaves EOWNERDEAD to the next
// locker. Blocks update their state in small steps, so the state is usable
// as it stands: mark the mutex consistent and go on.
Camera::Lock::Lock(Camera& cam) : cam_(&cam)
{
    CoreState& c = cam.state_->core;
    if (pthread_mutex_lock(&c.lock) == EOWNERDEAD) {
        pthread_mutex_consistent(&c.lock);
        c.lock_recoveries++;
    }
}

Camera::Lock::~Lock()
{
    unlock();
}

void Camera::Lock::unlock()
{
    if (cam_)
        pthread_mutex_unlock(&cam_->state_->core.lock);
    cam_ = nullptr;
}

// ---- register access ----------------------------------------------------

RegisterBlock* Camera::dispatch(uint32_t reg)
{
    if (last_ && last_->decodes(reg))
        return last_;
    for (RegisterBlock* b : blocks_) {
        if (b->decodes(reg)) {
            last_ = b;
            return b;
        }
    }
    return regfile_;
}

int Camera::access_fault(uint32_t reg, bool write, uint64_t n, bool* cut)
{
    AccessFaultState& f = state_->core.faults;
    if (f.power_cut_on && n == f.power_cut_at) {
        *cut = true;
        return 0;
    }
    if (f.eio_reg_on && reg == f.eio_reg &&
        (f.eio_reg_dir == 0 || (f.eio_reg_dir == 1 && !write) || (f.eio_reg_dir == 2 && write))) {
        f.eio_reg_fired++;
        return EIO;
    }
    if (f.eio_at_on && n == f.eio_at) {
        f.eio_at_fired++;
        return EIO;
    }
    if (f.eio_from_on && n >= f.eio_from) {
        f.eio_from_fired++;
        return EIO;
    }
    return 0;
}

// The power fails before the access reaches the hardware: the fault is
// used up, the trace says so, and the process dies as if the camera had
// lost power under it.
void Camera::power_cut(Lock& lock, char kind, uint32_t reg)
{
    AccessFaultState& f = state_->core.faults;
    f.power_cut_on = 0;
    f.power_cut_fired++;
    f.armed = f.eio_reg_on | f.eio_at_on | f.eio_from_on;
    if (state_->core.trace_on) {
        char line[64];
        int n = std::snprintf(line, sizeof line, "%d %c 0x%08x K\n", static_cast<int>(::getpid()), kind, reg);
        trace_line(line, static_cast<size_t>(n));
    }
    lock.unlock();
    ::kill(::getpid(), SIGKILL);
    for (;;)
        ::pause();
}

int Camera::reg_read(uint32_t reg, uint32_t* value)
{
    Lock lock(*this);
    CoreState& c = state_->core;
    uint64_t n = ++c.accesses;
    c.reads++;
    if (c.faults.armed) {
        bool cut = false;
        int e = access_fault(reg, false, n, &cut);
        if (cut)
            power_cut(lock, 'R', reg);
        if (e) {
            c.failed++;
            if (c.trace_on)
                trace_failure('R', reg, e);
            return e;
        }
    }
    uint32_t v = dispatch(reg)->read(reg);
    *value = v;
    if (c.trace_on)
        trace_access('R', reg, v);
    return 0;
}

int Camera::reg_write(uint32_t reg, uint32_t value)
{
    Lock lock(*this);
    CoreState& c = state_->core;
    uint64_t n = ++c.accesses;
    c.writes++;
    if (c.faults.armed) {
        bool cut = false;
        int e = access_fault(reg, true, n, &cut);
        if (cut)
            power_cut(lock, 'W', reg);
        if (e) {
            c.failed++;
            if (c.trace_on)
                trace_failure('W', reg, e);
            return e;
        }
    }
    dispatch(reg)->write(reg, value);
    if (c.trace_on)
        trace_access('W', reg, value);
    return 0;
}

uint32_t Camera::peek(uint32_t reg)
{
    Lock lock(*this);
    return dispatch(reg)->read(reg);
}

void Camera::poke(uint32_t reg, uint32_t value)
{
    Lock lock(*this);
    dispatch(reg)->write(reg, value);
}

int Camera::device_open()
{
    Lock lock(*this);
    CoreState& c = state_->core;
    int e = c.faults.dev_open_errno;
    if (e)
        c.faults.dev_open_fired++;
    else
        c.dev_opens++;
    if (c.trace_on) {
        std::string line = e ? fmt::format("{} O /dev/qx_fpga E{}\n", ::getpid(), e)
                             : fmt::format("{} O /dev/qx_fpga\n", ::getpid());
        trace_line(line.data(), line.size());
    }
    return e;
}

void Camera::device_close()
{
    Lock lock(*this);
    if (state_->core.trace_on) {
        std::string line = fmt::format("{} C /dev/qx_fpga\n", ::getpid());
        trace_line(line.data(), line.size());
    }
}

int Camera::proc_open()
{
    Lock lock(*this);
    CoreState& c = state_->core;
    int e = c.faults.proc_open_errno;
    if (e)
        c.faults.proc_open_fired++;
    else
        c.proc_opens++;
    if (c.trace_on) {
        std::string line = e ? fmt::format("{} O /proc/qx_pci/regs E{}\n", ::getpid(), e)
                             : fmt::format("{} O /proc/qx_pci/regs\n", ::getpid());
        trace_line(line.data(), line.size());
    }
    return e;
}

int Camera::proc_write(const char* buf, size_t len)
{
    if (len == 0)
        return 0;
    std::vector<ProcLine> lines;
    bool parsed = parse_proc_lines(buf, len, &lines);
    Lock lock(*this);
    CoreState& c = state_->core;
    if (!parsed) {
        c.proc_refused++;
        if (c.trace_on)
            for (const std::string& text : printable_lines(buf, len)) {
                std::string line = fmt::format("{} P! {}\n", ::getpid(), text);
                trace_line(line.data(), line.size());
            }
        return EINVAL;
    }
    // Valid lines are register writes, one after the other, like ioctl writes.
    for (const ProcLine& l : lines) {
        uint64_t n = ++c.accesses;
        if (c.faults.armed) {
            bool cut = false;
            int e = access_fault(l.reg, true, n, &cut);
            if (cut)
                power_cut(lock, 'P', l.reg);
            if (e) {
                c.failed++;
                c.proc_refused++;
                if (c.trace_on) {
                    std::string line = fmt::format("{} P! {}\n", ::getpid(), printable_lines(l.text.data(), l.text.size())[0]);
                    trace_line(line.data(), line.size());
                }
                return e;
            }
        }
        c.proc_lines++;
        dispatch(l.reg)->write(l.reg, l.value);
        if (c.trace_on) {
            std::string line = fmt::format("{} P {}\n", ::getpid(), l.text);
            trace_line(line.data(), line.size());
        }
    }
    return 0;
}

// ---- trace --------------------------------------------------------------

void Camera::trace_line(const char* text, size_t len)
{
    if (trace_fd_ < 0)
        trace_fd_ = ::open(trace_file().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (trace_fd_ >= 0 && ::write(trace_fd_, text, len) < 0) {
        // a lost trace line is not worth failing the access for
    }
}

void Camera::trace_access(char kind, uint32_t reg, uint32_t value)
{
    char line[64];
    int n = std::snprintf(line, sizeof line, "%d %c 0x%08x 0x%08x\n", static_cast<int>(::getpid()), kind, reg, value);
    trace_line(line, static_cast<size_t>(n));
}

void Camera::trace_failure(char kind, uint32_t reg, int err)
{
    char line[64];
    int n = std::snprintf(line, sizeof line, "%d %c 0x%08x E%d\n", static_cast<int>(::getpid()), kind, reg, err);
    trace_line(line, static_cast<size_t>(n));
}

void Camera::set_trace(bool on)
{
    Lock lock(*this);
    state_->core.trace_on = on;
}

// ---- reset, blocks ------------------------------------------------------

void Camera::reset_locked()
{
    CoreState& c = state_->core;
    c.trace_on = 0;
    c.accesses = c.reads = c.writes = c.failed = 0;
    c.proc_lines = c.proc_refused = c.dev_opens = c.proc_opens = 0;
    c.lock_recoveries = 0;
    c.faults = AccessFaultState{};
    state_->ident.code = c.sensor_code;
    for (RegisterBlock* b : blocks_)
        b->reset();
}

void Camera::reset()
{
    Lock lock(*this);
    reset_locked();
}

RegisterBlock* Camera::block(const std::string& name) const
{
    for (RegisterBlock* b : blocks_)
        if (name == b->name())
            return b;
    return nullptr;
}

RegisterDevice* Camera::register_device_slot(Bus bus, uint8_t addr)
{
    RegisterDevice* free_slot = nullptr;
    for (RegisterDevice* d : regdev_[bus]) {
        if (d->used() && d->addr() == addr)
            return d;
        if (!d->used() && !free_slot)
            free_slot = d;
    }
    return free_slot;
}

// ---- faults -------------------------------------------------------------

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
        auto* master = dynamic_cast<I2cMaster*>(b);
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
        auto* master = dynamic_cast<I2cMaster*>(b);
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
        if (auto* master = dynamic_cast<I2cMaster*>(b)) {
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

void Camera::describe(std::ostream& out)
{
    Lock lock(*this);
    const CoreState& c = state_->core;
    out << fmt::format("Simulated camera in {} (state layout {})\n", dir_, c.version);
    out << fmt::format("Accesses: {} ({} read(s), {} write(s), {} proc line(s), {} failed); "
                       "{} proc buffer(s) refused\n",
                       c.accesses, c.reads, c.writes, c.proc_lines, c.failed, c.proc_refused);
    out << fmt::format("Opens: /dev/qx_fpga {}, /proc/qx_pci/regs {}; trace {}", c.dev_opens, c.proc_opens,
                       c.trace_on ? "on" : "off");
    if (c.lock_recoveries)
        out << fmt::format("; lock recovered from {} dead owner(s)", c.lock_recoveries);
    out << "\n";
    describe_faults(out);
    for (RegisterBlock* b : blocks_) {
        out << "\n";
        b->describe(out);
    }
    out << "\n";
    ToolLocks(dir_).describe(out);
}

}  // namespace qxsim
