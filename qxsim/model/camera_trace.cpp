// The trace: one line per register access, open and proc line, appended
// with one write() under the state lock while the trace is on.
#include "qxsim/model/camera.h"

#include <cstdio>

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
}  // namespace qxsim
