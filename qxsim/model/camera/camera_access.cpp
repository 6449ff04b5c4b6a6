// The driver's side of the camera: register accesses, opens and proc-file
// buffers, each under the state lock, with the access faults applied.
#include "qxsim/model/camera/camera.h"

#include "qxsim/driver_abi.h"
#include "qxsim/trace/proc_line.h"
#include "qxsim/model/fpga/register_file.h"

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

int Camera::access_fault(uint32_t reg, bool write, uint64_t n, Halt* halt)
{
    AccessFaultState& f = state_->core.faults;
    if (f.power_cut_on && n == f.power_cut_at) {
        *halt = Halt::power_cut;
        return 0;
    }
    if (f.kill_at_on && n == f.kill_at) {
        *halt = Halt::kill;
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

// The process dies before the access reaches the hardware and the fault is
// used up. A power cut is a camera event and the trace says so; a kill
// (someone's SIGKILL, a crash) leaves the camera as it was and no mark, as
// a kill from outside would.
void Camera::halt(Lock& lock, Halt how, char kind, uint32_t reg)
{
    AccessFaultState& f = state_->core.faults;
    if (how == Halt::kill) {
        f.kill_at_on = 0;
        f.kill_at_fired++;
    } else {
        f.power_cut_on = 0;
        f.power_cut_fired++;
    }
    update_armed(f);
    if (how == Halt::power_cut && state_->core.trace_on) {
        TraceRecord rec;
        rec.kind = kind;
        rec.reg = reg;
        rec.killed = true;
        trace_event(rec);
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
        Halt how = Halt::none;
        int e = access_fault(reg, false, n, &how);
        if (how != Halt::none)
            halt(lock, how, 'R', reg);
        if (e) {
            c.failed++;
            if (c.trace_on)
                trace_access('R', reg, 0, e);
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
        Halt how = Halt::none;
        int e = access_fault(reg, true, n, &how);
        if (how != Halt::none)
            halt(lock, how, 'W', reg);
        if (e) {
            c.failed++;
            if (c.trace_on)
                trace_access('W', reg, 0, e);
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
    if (c.trace_on)
        trace_open(TRACE_OPEN, DEVICE_PATH, e);
    return e;
}

void Camera::device_close()
{
    Lock lock(*this);
    if (state_->core.trace_on)
        trace_open(TRACE_CLOSE, DEVICE_PATH, 0);
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
    if (c.trace_on)
        trace_open(TRACE_OPEN, PROC_PATH, e);
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
            for (const std::string& text : printable_lines(buf, len))
                trace_proc(text, true);
        return EINVAL;
    }
    // Valid lines are register writes, one after the other, like ioctl writes.
    for (const ProcLine& l : lines) {
        uint64_t n = ++c.accesses;
        if (c.faults.armed) {
            Halt how = Halt::none;
            int e = access_fault(l.reg, true, n, &how);
            if (how != Halt::none)
                halt(lock, how, 'P', l.reg);
            if (e) {
                c.failed++;
                c.proc_refused++;
                if (c.trace_on)
                    trace_proc(printable_lines(l.text.data(), l.text.size())[0], true);
                return e;
            }
        }
        c.proc_lines++;
        dispatch(l.reg)->write(l.reg, l.value);
        if (c.trace_on)
            trace_proc(l.text, false);
    }
    return 0;
}

}  // namespace qxsim
