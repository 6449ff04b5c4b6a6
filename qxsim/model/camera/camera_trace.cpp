// The trace: one line per register access, open and proc line, appended
// with one write() under the state lock while the trace is on.
#include "qxsim/model/camera/camera.h"

#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace qxsim {

void Camera::trace_line(const char* text, size_t len)
{
    if (trace_fd_ < 0)
        trace_fd_ = ::open(trace_file().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (trace_fd_ >= 0 && ::write(trace_fd_, text, len) < 0) {
        // a lost trace line is not worth failing the access for
    }
}

void Camera::trace_event(TraceRecord rec)
{
    rec.pid = static_cast<int32_t>(::getpid());
    rec.time_ns = trace_now_ns();
    char line[256];
    size_t n = format_trace_line(rec, line, sizeof line);
    if (n <= sizeof line) {
        trace_line(line, n);
        return;
    }
    std::string big(n, '\0');  // a long refused proc line
    format_trace_line(rec, &big[0], n);
    trace_line(big.data(), n);
}

void Camera::trace_access(char kind, uint32_t reg, uint32_t value, int err)
{
    TraceRecord rec;
    rec.kind = kind;
    rec.reg = reg;
    rec.value = value;
    rec.error = err;
    trace_event(rec);
    trace_bus_pending();
}

// The master tells during the access, before the access's own line.
void Camera::bus_transaction(void* camera, const TraceRecord& rec)
{
    Camera* cam = static_cast<Camera*>(camera);
    if (!cam->state_->core.trace_on)
        return;
    cam->bus_pending_ = rec;
    cam->bus_pending_set_ = true;
}

void Camera::trace_bus_pending()
{
    if (!bus_pending_set_)
        return;
    bus_pending_set_ = false;
    trace_event(bus_pending_);
}

void Camera::trace_open(TraceKind kind, const char* path, int err)
{
    TraceRecord rec;
    rec.kind = kind;
    rec.text = path;
    rec.error = err;
    trace_event(rec);
}

void Camera::trace_proc(const std::string& text, bool refused)
{
    TraceRecord rec;
    rec.kind = TRACE_PROC;
    rec.text = text;
    rec.refused = refused;
    trace_event(rec);
    trace_bus_pending();
}

void Camera::set_trace(bool on)
{
    Lock lock(*this);
    state_->core.trace_on = on;
}
}  // namespace qxsim
