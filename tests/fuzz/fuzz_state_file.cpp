// The simulated camera's state file, as a later process finds it: a fresh
// camera's camera.state with the fuzz input applied as patches (three bytes
// each: a 16-bit offset and the byte to store there). The camera is opened
// on it, shown, reads every block's registers, takes a proc line, reads a
// flash block and reconfigures. Opening must either refuse the file or give
// a camera that does all that without a memory error.
//
// The mutex keeps its freshly initialised bytes (the C library owns them),
// and the faults that kill the process by design (power cut, kill, torn
// flash operations) are cleared once the camera is open.
#include "qxsim/model/camera/camera.h"
#include "qxsim/model/fpga/asmi_controller.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Template {
    std::string dir;
    std::vector<uint8_t> state;
};

const Template& fresh_camera()
{
    static Template t = [] {
        Template x;
        char dir[] = "/tmp/qxfuzz.XXXXXX";
        if (!mkdtemp(dir))
            abort();
        x.dir = dir;
        std::string err;
        if (!qxsim::Camera::create(x.dir, qxsim::CreateOptions{}, &err))
            abort();
        x.state.resize(sizeof(qxsim::CameraState));
        int fd = ::open((x.dir + "/camera.state").c_str(), O_RDONLY);
        if (fd < 0 || ::pread(fd, x.state.data(), x.state.size(), 0) != ssize_t(x.state.size()))
            abort();
        ::close(fd);
        return x;
    }();
    return t;
}

const uint32_t registers[] = {
    0x0, 0x4, 0x160, 0x164, 0x170, 0x180, 0x184, 0x190, 0x1A0, 0x1A4, 0x1B0,
    0x1000, 0x1004, 0x1008, 0x100C, 0x1010, 0x1018, 0x101C, 0x1020, 0x1040,
    0x8210, 0x8214, 0x8218, 0x821C, 0x8170, 0x2468,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Template& t = fresh_camera();
    std::vector<uint8_t> s = t.state;
    for (size_t i = 0; i + 3 <= size; i += 3)
        s[(size_t(data[i]) | size_t(data[i + 1]) << 8) % s.size()] = data[i + 2];
    auto* st = reinterpret_cast<qxsim::CameraState*>(s.data());
    std::memcpy(&st->core.lock, &reinterpret_cast<const qxsim::CameraState*>(t.state.data())->core.lock,
                sizeof st->core.lock);
    st->core.trace_on = 0;

    int fd = ::open((t.dir + "/camera.state").c_str(), O_WRONLY);
    if (fd < 0 || ::pwrite(fd, s.data(), s.size(), 0) != ssize_t(s.size()))
        abort();
    ::close(fd);

    std::string err;
    std::unique_ptr<qxsim::Camera> cam = qxsim::Camera::open(t.dir, &err);
    if (!cam) {
        if (err.empty())
            abort();  // a refusal says why
        return 0;
    }
    for (const char* killer : {"power-cut", "kill-at", "asmi.torn-program", "asmi.torn-erase"})
        cam->clear_faults(killer, &err);
    std::ostringstream out;
    cam->describe(out);
    cam->list_faults(out);
    uint32_t v = 0;
    for (uint32_t reg : registers)
        cam->reg_read(reg, &v);
    cam->reg_write(0x188, 4);
    cam->reg_write(0x180, 0x50111);
    cam->reg_read(0x184, &v);
    cam->reg_read(0x190, &v);
    const char line[] = "w 0x18c 0x4b00\nw 0x188 0x30\nw 0x180 0x10120\n";
    cam->proc_write(line, sizeof line - 1);
    // Read-only flash traffic: a read at whatever address and length the
    // state holds, the read FIFO drained, the ID, and a reconfiguration.
    cam->reg_write(qxsim::ASMI_CMD, qxsim::ASMI_READ);
    for (int i = 0; i < 70; i++)
        cam->reg_read(qxsim::ASMI_RD_FIFO, &v);
    cam->reg_write(qxsim::ASMI_CMD, qxsim::ASMI_READ_ID);
    cam->reg_write(qxsim::ASMI_RECONFIG, qxsim::ASMI_RECONFIG_START);
    cam->describe(out);
    return 0;
}
