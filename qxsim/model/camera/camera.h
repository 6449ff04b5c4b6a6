// The simulated camera: the FPGA board behind /dev/qx_fpga and
// /proc/qx_pci/regs, with its blocks and bus devices, living in a state
// folder. One Camera object per process and folder; every process maps the
// same `camera.state` and serialises on its robust process-shared mutex.
#pragma once

#include "qxsim/model/camera/camera_state.h"
#include "qxsim/model/flash/epcq_flash.h"
#include "qxsim/model/fpga/register_block.h"
#include "qxsim/trace/trace_format.h"

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <sys/types.h>

namespace qxsim {

class FpgaStatus;
class I2cMaster;
class I2cDevice;
class IdentMemory;
class RegisterDevice;
class RegisterFile;
class AsmiController;
struct FlashParts;

struct CreateOptions {
    uint32_t sensor_code = 0x58334843;  // LUX13HS, C variant
    bool force = false;                 // replace an existing camera
};

class Camera {
public:
    // Opens the camera in `dir`; null with *err filled in when there is no
    // camera, its state file is not a regular file of this layout, or its
    // flash.bin is missing or not the array's size. Values of the state that
    // index memory are range-checked where they are used, since every
    // process using the camera writes the file.
    static std::unique_ptr<Camera> open(const std::string& dir, std::string* err);
    // A camera on state the caller owns (not a file): a copy of the file
    // in memory whose bounds a checker can see. The flash is the folder's.
    static std::unique_ptr<Camera> on_state(const std::string& dir, CameraState* state, std::string* err);
    // Creates a camera at power-on defaults (the folder too, if needed).
    // Without `force` an existing camera is left alone and false returned.
    static bool create(const std::string& dir, const CreateOptions& options, std::string* err);

    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // The state file and flash.bin are still the files that were mapped, at
    // their sizes; false with *why naming the file and what is wrong.
    bool files_intact(std::string* why) const;

    const std::string& dir() const { return dir_; }
    std::string firmware_dir() const { return dir_ + "/firmware"; }
    std::string device_node() const { return dir_ + "/qx_fpga"; }
    std::string proc_file() const { return dir_ + "/proc_regs"; }
    std::string trace_file() const { return dir_ + "/trace.log"; }

    // The driver's side of the C library calls. Each returns 0 or an errno
    // value. A power-cut fault kills the calling process inside the call and
    // turns the camera off (below).
    int device_open();
    void device_close();
    int reg_read(uint32_t reg, uint32_t* value);
    int reg_write(uint32_t reg, uint32_t value);
    int proc_open();
    // One write() to the proc file: every line is parsed before any is
    // applied; EINVAL refuses the buffer as a whole.
    int proc_write(const char* buf, size_t len);

    // Power. A power cut (the power-cut fault, a torn flash operation)
    // leaves the camera off until power_cycle(): a process that was running
    // then ends at its next access or open through the driver, as a CPU
    // without power would; one started since finds no driver (ENODEV).
    // Which is which comes from the time the process started, which the
    // interposer sets; without it a process counts as started since.
    bool powered() const { return state_->core.powered_off == 0; }
    uint64_t cut_access() const { return state_->core.cut_access; }
    uint64_t power_cuts() const { return state_->core.power_cuts; }
    void set_process_start(uint64_t monotonic_ns) { process_start_ns_ = monotonic_ns; }
    // For the interposer's other entries (system(), opens of the camera's
    // files): ends this process when it was running at the cut.
    void power_check();

    // Register access for people and tests, beside the driver: no access
    // faults, not counted, not traced.
    uint32_t peek(uint32_t reg);
    void poke(uint32_t reg, uint32_t value);

    // The camera as it leaves the factory: flash holding only the factory
    // image, locked, every block at its defaults, faults, counters and trace
    // cleared; the sensor chosen at creation is kept.
    void factory_reset();

    // Power removed and restored: everything volatile back to its power-on
    // state (FPGA registers, FIFOs, I2C masters, DAC chips, channel and
    // clamp registers, the flash's address mode), everything non-volatile
    // kept (flash array and protection, identification memory, the board's
    // devices), then the FPGA configures itself from flash. The bench's
    // faults, the counters and the trace stay as they are.
    void power_cycle();

    // Faults by name: core faults ("eio-reg", "power-cut", ...), block
    // faults "BLOCK.NAME" ("i2c-isb.stuck-busy") and bus device faults
    // "BLOCK.ADDR.NAME" ("i2c-isb.0x50.nak").
    bool set_fault(const std::string& name, const std::vector<std::string>& args, std::string* err);
    // "" clears every fault; otherwise a core fault name, a block or a device.
    bool clear_faults(const std::string& target, std::string* err);
    void list_faults(std::ostream& out);

    // The bench's settings (`qxsim set`), each under the lock: the sensor
    // code in the identification memory and one of its registers, the I2C
    // bus power, and register devices on the buses. False: no free device
    // slot on the bus (install), no device at the address (the others).
    void set_sensor(uint32_t code);
    void set_ident_register(uint8_t reg, uint8_t value);
    void set_i2c_bus(bool on);
    bool install_device(Bus bus, uint8_t addr, unsigned width, const std::string& label);
    bool remove_device(Bus bus, uint8_t addr);
    bool set_device_register(Bus bus, uint8_t addr, uint8_t reg, uint32_t value);

    void set_trace(bool on);
    bool trace_on() const { return state_->core.trace_on != 0; }
    void describe(std::ostream& out);

    // Blocks and devices, for the front end and tests. Use them under lock().
    class Lock {
    public:
        explicit Lock(Camera& cam);
        ~Lock();
        Lock(Lock&& other) noexcept : cam_(other.cam_) { other.cam_ = nullptr; }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        void unlock();

    private:
        Camera* cam_;
    };
    Lock lock() { return Lock(*this); }

    CameraState& state() { return *state_; }
    const std::vector<RegisterBlock*>& blocks() const { return blocks_; }
    RegisterBlock* block(const std::string& name) const;
    FpgaStatus& fpga() { return *fpga_; }
    I2cMaster& i2c(Bus bus) { return *i2c_[bus]; }
    IdentMemory& ident() { return *ident_; }
    RegisterDevice& register_device(Bus bus, unsigned slot) { return *regdev_[bus][slot]; }
    // The device slot at `addr` on `bus`, a free slot, or null when full.
    RegisterDevice* register_device_slot(Bus bus, uint8_t addr);
    RegisterFile& register_file() { return *regfile_; }
    AsmiController& asmi() { return *asmi_; }
    // The I2C master registered under `name` ("i2c-isb"), or null.
    I2cMaster* i2c_named(const std::string& name) const;

private:
    // map_size 0: the state is not a mapping of the camera's file.
    Camera(const std::string& dir, CameraState* state, size_t map_size, bool new_flash = false);
    void build(bool new_flash);
    void factory_reset_locked();
    RegisterBlock* dispatch(uint32_t reg);
    __attribute__((noinline)) RegisterBlock* find_block(uint32_t reg);
    // What an access fault does to the process making the access.
    enum class Halt { none, power_cut, kill };
    int admit_access(Lock& lock, char kind, uint32_t reg);
    __attribute__((noinline)) int faulted_access(Lock& lock, char kind, uint32_t reg);
    // The access faults' effect on an access (camera_faults.cpp): an
    // errno, or a halt; *signal: a signal the access's process gets once
    // the access is done (kill-at with a signal other than KILL).
    int access_fault(uint32_t reg, bool write, Halt* halt, int* signal);
    // The calling process dies (SIGKILL), the lock let go first.
    [[noreturn]] void halt(Lock& lock);
    // The power goes at an access (torn: inside the flash operation it
    // started, after the access's own line): counted, traced, the camera
    // off; the calling process dies.
    [[noreturn]] void cut_power(Lock& lock, char kind, uint32_t reg, const TornCut* torn);
    // The camera is off: an access or open of a process that was running at
    // the cut ends it; any other gets ENODEV.
    int unpowered(Lock& lock);
    bool started_before_cut() const { return process_start_ns_ < state_->core.cut_ns; }
    // A torn operation cut the power during the access in progress.
    void torn_cut(const TornCut& cut);
    enum class DriverFile : unsigned { device, proc };
    int driver_open(DriverFile file);
    // The open faults' errno for an open of `file`, 0 if none.
    int open_fault(DriverFile file);
    // After a change to the access faults: whether any is set.
    void faults_changed();
    void trace_line(const char* text, size_t len);
    // Stamps rec with this process and the time and appends its line.
    void trace_event(TraceRecord rec);
    // An access, or with `err` one the driver refused.
    void trace_access(char kind, uint32_t reg, uint32_t value, int err = 0);
    void trace_open(TraceKind kind, const char* path, int err);
    void trace_proc(const std::string& text, bool refused);
    // A master's transaction as the devices took it: traced after the
    // access that started it.
    static void bus_transaction(void* camera, const TraceRecord& rec);
    void trace_bus_pending();
    void describe_faults(std::ostream& out) const;
    static void describe_block(std::ostream& out, const RegisterBlock& block);

    std::string dir_;
    CameraState* state_;
    size_t map_size_;
    // The state file mapped. Fixed-width: dev_t and ino_t change size with
    // _FILE_OFFSET_BITS on 32-bit targets, and this class is shared by
    // code built with and without it.
    uint64_t state_dev_ = 0;
    uint64_t state_ino_ = 0;
    int trace_fd_ = -1;
    TraceRecord bus_pending_;
    bool bus_pending_set_ = false;

    std::vector<std::unique_ptr<RegisterBlock>> owned_blocks_;
    std::vector<std::unique_ptr<I2cDevice>> owned_devices_;
    std::vector<RegisterBlock*> blocks_;  // decode order; the register file last
    RegisterBlock* last_ = nullptr;       // block of the previous access
    uint32_t last_unmodelled_ = 0;        // its register, when that block is the register file
    int pending_signal_ = 0;              // for this process once the access in progress is done
    bool torn_pending_ = false;           // a torn flash operation: the power goes after this access
    TornCut torn_{};
    uint64_t process_start_ns_ = UINT64_MAX;
    FpgaStatus* fpga_ = nullptr;
    I2cMaster* i2c_[BUS_COUNT] = {};
    IdentMemory* ident_ = nullptr;
    RegisterDevice* regdev_[BUS_COUNT][REGISTER_DEVICES_PER_BUS] = {};
    RegisterFile* regfile_ = nullptr;
    std::unique_ptr<FlashParts> flash_;   // flash.bin, EPCQ-L chip, configuration logic
    AsmiController* asmi_ = nullptr;
};

const char* bus_name(Bus bus);  // "main", "isb", "iob"
bool parse_bus(const std::string& text, Bus* bus);

}  // namespace qxsim
