// The driver's side of the camera: register accesses, opens and proc-file
// buffers, each under the state lock, with the access faults applied.
#include "qxsim/model/camera/camera.h"

#include "qxsim/driver_abi.h"
#include "qxsim/model/fpga/register_file.h"
#include "qxsim/trace/proc_line.h"

#include <cerrno>
#include <csignal>

#include <unistd.h>

namespace qxsim {

// Accesses mostly stay with one block (status polls, FIFO words): try the
// block of the previous access, and search the others out of line.
RegisterBlock* Camera::dispatch(uint32_t reg)
{
    // The register file decodes everything: it is remembered for the one
    // register that went there, or every later access would follow it.
    if (last_ && (last_ != regfile_ ? last_->decodes(reg) : reg == last_unmodelled_))
        return last_;
    return find_block(reg);
}

RegisterBlock* Camera::find_block(uint32_t reg)
{
    for (RegisterBlock* b : blocks_) {
        if (b->decodes(reg)) {
            last_ = b;
            last_unmodelled_ = reg;
            return b;
        }
    }
    return regfile_;
}

// An access about to reach the hardware: counted, then the access faults
// applied. 0 lets it through; else the errno it fails with, counted as
// failed and, for a register access, traced (a proc line's caller traces
// the line). A power cut or a kill ends the process in here. The hot path
// is the count and one test: a camera without power arms it too.
inline int Camera::admit_access(Lock& lock, char kind, uint32_t reg)
{
    CoreState& c = state_->core;
    ++c.accesses;
    return c.faults.armed ? faulted_access(lock, kind, reg) : 0;
}

int Camera::faulted_access(Lock& lock, char kind, uint32_t reg)
{
    CoreState& c = state_->core;
    if (c.powered_off) {
        // no access reaches a camera without power: not counted
        --c.accesses;
        if (kind == TRACE_READ)
            --c.reads;
        else if (kind == TRACE_WRITE)
            --c.writes;
        return unpowered(lock);
    }
    Halt how = Halt::none;
    int e = access_fault(reg, kind != TRACE_READ, &how, &pending_signal_);
    if (how == Halt::power_cut)
        cut_power(lock, kind, reg, nullptr);
    if (how == Halt::kill)
        halt(lock);
    if (e) {
        c.failed++;
        if (c.trace_on && kind != TRACE_PROC)
            trace_access(kind, reg, 0, e);
    }
    return e;
}

// A kill (someone's SIGKILL, a crash) leaves the camera as it was and no
// mark, as a kill from outside would.
void Camera::halt(Lock& lock)
{
    lock.unlock();
    ::kill(::getpid(), SIGKILL);
    for (;;)
        ::pause();
}

// A power cut is a camera event: counted, in the trace at the access it
// struck, and the camera stays off until a power cycle.
void Camera::cut_power(Lock& lock, char kind, uint32_t reg, const TornCut* torn)
{
    CoreState& c = state_->core;
    c.power_cuts++;
    c.cut_access = c.accesses;
    c.cut_ns = trace_now_ns();
    c.powered_off = 1;
    faults_changed();
    if (c.trace_on) {
        TraceRecord rec;
        rec.killed = true;
        if (torn) {
            rec.kind = TRACE_CUT;
            rec.text = torn->erase ? "erase" : "program";
            rec.reg = torn->addr;
            rec.value = torn->landed;
        } else {
            rec.kind = kind;
            rec.reg = reg;
        }
        trace_event(rec);
    }
    halt(lock);
}

int Camera::unpowered(Lock& lock)
{
    if (started_before_cut())
        halt(lock);
    return ENODEV;
}

void Camera::power_check()
{
    if (!state_->core.powered_off)
        return;
    Lock lock(*this);
    if (state_->core.powered_off && started_before_cut())
        halt(lock);
}

// Called by the chip during the access that started the operation; the
// access is traced as it was taken before the power goes.
void Camera::torn_cut(const TornCut& cut)
{
    torn_ = cut;
    torn_pending_ = true;
}

namespace {

// A signal that arrives while a process is in the driver is handled as the
// call returns: raised here once the camera's lock is let go (declared
// before the Lock, destroyed after it).
struct SignalOnReturn {
    int& signal;
    ~SignalOnReturn()
    {
        if (int s = signal) {
            signal = 0;
            ::raise(s);
        }
    }
};

}  // namespace

int Camera::reg_read(uint32_t reg, uint32_t* value)
{
    SignalOnReturn pending{pending_signal_};
    Lock lock(*this);
    state_->core.reads++;
    if (int e = admit_access(lock, TRACE_READ, reg))
        return e;
    *value = dispatch(reg)->read(reg);
    if (state_->core.trace_on)
        trace_access(TRACE_READ, reg, *value);
    return 0;
}

int Camera::reg_write(uint32_t reg, uint32_t value)
{
    SignalOnReturn pending{pending_signal_};
    Lock lock(*this);
    state_->core.writes++;
    if (int e = admit_access(lock, TRACE_WRITE, reg))
        return e;
    dispatch(reg)->write(reg, value);
    if (state_->core.trace_on)
        trace_access(TRACE_WRITE, reg, value);
    if (torn_pending_)
        cut_power(lock, TRACE_WRITE, reg, &torn_);
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

int Camera::driver_open(DriverFile file)
{
    Lock lock(*this);
    CoreState& c = state_->core;
    int e = c.powered_off ? unpowered(lock) : open_fault(file);
    if (!e)
        (file == DriverFile::device ? c.dev_opens : c.proc_opens)++;
    if (c.trace_on)
        trace_open(TRACE_OPEN, file == DriverFile::device ? DEVICE_PATH : PROC_PATH, e);
    return e;
}

int Camera::device_open()
{
    return driver_open(DriverFile::device);
}

int Camera::proc_open()
{
    return driver_open(DriverFile::proc);
}

void Camera::device_close()
{
    Lock lock(*this);
    if (state_->core.trace_on)
        trace_open(TRACE_CLOSE, DEVICE_PATH, 0);
}

int Camera::proc_write(const char* buf, size_t len)
{
    if (len == 0)
        return 0;
    std::vector<ProcLine> lines;
    bool parsed = parse_proc_lines(buf, len, &lines);
    SignalOnReturn pending{pending_signal_};
    Lock lock(*this);
    CoreState& c = state_->core;
    if (!parsed) {
        c.proc_refused++;
        if (c.trace_on)
            for (const std::string& text : printable_lines(buf, len))
                trace_proc(text, true);
        return EINVAL;
    }
    // Valid lines are register writes, one after the other, like ioctl writes.
    for (const ProcLine& l : lines) {
        if (int e = admit_access(lock, TRACE_PROC, l.reg)) {
            c.proc_refused++;
            if (c.trace_on)
                trace_proc(printable_lines(l.text.data(), l.text.size())[0], true);
            return e;
        }
        c.proc_lines++;
        dispatch(l.reg)->write(l.reg, l.value);
        if (c.trace_on)
            trace_proc(l.text, false);
        if (torn_pending_)
            cut_power(lock, TRACE_PROC, l.reg, &torn_);
    }
    return 0;
}

}  // namespace qxsim
