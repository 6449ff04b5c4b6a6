// The camera as a whole: its blocks and bus devices in decode order, the
// state lock, reset and the one-screen description. The state file, the
// driver-side accesses, the faults and the trace live in camera_*.cpp.
#include "qxsim/model/camera/camera.h"

#include "qxsim/driver_abi.h"
#include "qxsim/model/camera/tool_locks.h"
#include "qxsim/model/devices/dac_chip.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/devices/register_device.h"
#include "qxsim/model/flash/flash_parts.h"
#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/fpga/channel_regs.h"
#include "qxsim/model/fpga/fpga_status.h"
#include "qxsim/model/fpga/i2c_master.h"
#include "qxsim/model/fpga/register_file.h"
#include "qxsim/model/fpga/register_table.h"

#include <fmt/format.h>

#include <sstream>

#include <sys/mman.h>
#include <unistd.h>

namespace qxsim {

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

Camera::Camera(const std::string& dir, CameraState* state, size_t map_size, bool new_flash)
    : dir_(dir), state_(state), map_size_(map_size)
{
    build(new_flash);
}

Camera::~Camera()
{
    if (trace_fd_ >= 0)
        ::close(trace_fd_);
    if (map_size_)
        ::munmap(state_, map_size_);
}

// Every block and bus device of the camera: the register blocks where the
// register map places them, in its order, then the register file. A new
// block gets its state struct in CameraState, its place in FPGA_BLOCKS and
// a case here.
void Camera::build(bool new_flash)
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

    for (const BlockPlace& place : FPGA_BLOCKS) {
        switch (place.kind) {
        case BlockKind::fpga_status: fpga_ = add_block(std::make_unique<FpgaStatus>(s.fpga_status, place)); break;
        case BlockKind::i2c_master:
            i2c_[place.bus] = add_block(std::make_unique<I2cMaster>(place, s.i2c[place.bus], *fpga_));
            break;
        case BlockKind::channels: add_block(std::make_unique<ChannelRegs>(s.channels, place)); break;
        case BlockKind::asmi:
            // with the EPCQ-L chip and the FPGA's configuration logic behind it
            flash_ = std::make_unique<FlashParts>(s.epcq, s.boot, dir_ + "/flash.bin", new_flash);
            flash_->chip.set_power_cut([this](const TornCut& cut) { torn_cut(cut); });
            asmi_ = add_block(std::make_unique<AsmiController>(s.asmi, flash_->chip, flash_->boot, place));
            break;
        }
    }
    // A reconfiguration reloads the whole FPGA.
    asmi_->on_reload([](void* cam) {
        for (RegisterBlock* b : static_cast<Camera*>(cam)->blocks_)
            b->reload();
    }, this);
    // The masters tell the trace what each transaction put on the bus.
    for (I2cMaster* m : i2c_)
        m->observe(&Camera::bus_transaction, this);
    // Registers nobody else decodes: always last.
    regfile_ = add_block(std::make_unique<RegisterFile>(s.regfile));

    ident_ = add_device(BUS_ISB, std::make_unique<IdentMemory>(s.ident));
    add_device(BUS_ISB, std::make_unique<DacChip>(DAC_U12_WIRING, s.dac.u12));
    add_device(BUS_ISB, std::make_unique<DacChip>(DAC_U14_WIRING, s.dac.u14));
    for (unsigned b = 0; b < BUS_COUNT; b++)
        for (unsigned i = 0; i < REGISTER_DEVICES_PER_BUS; i++)
            regdev_[b][i] = add_device(static_cast<Bus>(b), std::make_unique<RegisterDevice>(s.regdev[b][i]));
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

// ---- factory reset, power cycle, blocks ------------------------------------------------------

void Camera::factory_reset_locked()
{
    CoreState& c = state_->core;
    c.trace_on = 0;
    c.accesses = c.reads = c.writes = c.failed = 0;
    c.proc_lines = c.proc_refused = c.dev_opens = c.proc_opens = 0;
    c.lock_recoveries = c.power_cycles = 0;
    c.powered_off = 0;
    c.power_cuts = c.cut_access = c.cut_ns = 0;
    c.faults = AccessFaultState{};
    state_->ident.code = c.sensor_code;
    for (RegisterBlock* b : blocks_)
        b->reset();
}

void Camera::factory_reset()
{
    Lock lock(*this);
    factory_reset_locked();
}

// Each block keeps what survives a power cut and the bench's settings; the
// serial-flash block ends with the FPGA's configuration from flash.
void Camera::power_cycle()
{
    Lock lock(*this);
    state_->core.power_cycles++;
    state_->core.powered_off = 0;
    faults_changed();
    for (RegisterBlock* b : blocks_)
        b->power_on();
}

RegisterBlock* Camera::block(const std::string& name) const
{
    for (RegisterBlock* b : blocks_)
        if (name == b->name())
            return b;
    return nullptr;
}

I2cMaster* Camera::i2c_named(const std::string& name) const
{
    for (I2cMaster* m : i2c_)
        if (name == m->name())
            return m;
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

void Camera::set_sensor(uint32_t code)
{
    Lock lock(*this);
    ident_->set_code(code);
}

void Camera::set_ident_register(uint8_t reg, uint8_t value)
{
    Lock lock(*this);
    ident_->set_register(reg, value);
}

void Camera::set_i2c_bus(bool on)
{
    Lock lock(*this);
    fpga_->set_i2c_enabled(on);
}

bool Camera::install_device(Bus bus, uint8_t addr, unsigned width, const std::string& label)
{
    Lock lock(*this);
    RegisterDevice* d = register_device_slot(bus, addr);
    if (d)
        d->install(addr, width, label.c_str());
    return d != nullptr;
}

bool Camera::remove_device(Bus bus, uint8_t addr)
{
    Lock lock(*this);
    RegisterDevice* d = register_device_slot(bus, addr);
    if (!d || !d->used())
        return false;
    d->remove();
    return true;
}

bool Camera::set_device_register(Bus bus, uint8_t addr, uint8_t reg, uint32_t value)
{
    Lock lock(*this);
    RegisterDevice* d = register_device_slot(bus, addr);
    if (!d || !d->used())
        return false;
    d->set_register(reg, value);
    return true;
}

void Camera::describe(std::ostream& out)
{
    Lock lock(*this);
    const CoreState& c = state_->core;
    if (c.powered_off)
        out << fmt::format("NO POWER since the power cut at access {} (qxsim power-cycle restores it)\n",
                           c.cut_access);
    out << fmt::format("Simulated camera in {} (state layout {})\n", dir_, c.version);
    out << fmt::format("Accesses: {} ({} read(s), {} write(s), {} proc line(s), {} failed); "
                       "{} proc buffer(s) refused\n",
                       c.accesses, c.reads, c.writes, c.proc_lines, c.failed, c.proc_refused);
    out << fmt::format("Opens: {} {}, {} {}; trace {}", DEVICE_PATH, c.dev_opens, PROC_PATH, c.proc_opens,
                       c.trace_on ? "on" : "off");
    if (c.lock_recoveries)
        out << fmt::format("; lock recovered from {} dead owner(s)", c.lock_recoveries);
    out << "\n";
    if (c.power_cycles)
        out << fmt::format("Power cycles: {} (faults, counters and trace kept)\n", c.power_cycles);
    if (c.power_cuts)
        out << fmt::format("Power cuts: {}, the last at access {}\n", c.power_cuts, c.cut_access);
    describe_faults(out);
    for (RegisterBlock* b : blocks_) {
        out << "\n";
        describe_block(out, *b);
    }
    // The locks are the kernel's, not camera state: read without holding
    // back the tools' register accesses.
    lock.unlock();
    out << "\n";
    ToolLocks(dir_).describe(out);
}

// The block's own description with its named registers after the heading
// line: every register whose value reading would not change or compute.
void Camera::describe_block(std::ostream& out, const RegisterBlock& block)
{
    const RegisterLayout* regs = block.registers();
    if (!regs) {
        block.describe(out);
        return;
    }
    std::ostringstream text;
    block.describe(text);
    const std::string s = text.str();
    const size_t heading = s.find('\n') + 1;
    out.write(s.data(), static_cast<std::streamsize>(heading));
    const char* sep = "  registers: ";
    for (unsigned i = 0; i < regs->size(); i++) {
        uint32_t value = 0;
        if (!block.stored_value(i, &value))
            continue;
        out << fmt::format("{}{}{} 0x{:x}", sep, block.register_prefix(), (*regs)[i].name, value);
        sep = ", ";
    }
    out << "\n";
    out.write(s.data() + heading, static_cast<std::streamsize>(s.size() - heading));
}

}  // namespace qxsim
