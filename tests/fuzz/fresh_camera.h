// A fuzzer's camera: made once in a fresh folder under /tmp, its state file
// and the programmed start of its flash array kept, for each input to start
// from and to be put back to.
#pragma once

#include "qxsim/model/camera/camera.h"
#include "qxsim/model/flash/flash_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

struct FuzzCamera {
    std::string dir;
    std::vector<uint8_t> state;    // camera.state as created
    std::vector<uint8_t> factory;  // the array's programmed start
};

// `name` names the folder (/tmp/<name>.XXXXXX). Any failure aborts: a
// fuzzer without its camera has nothing to run.
inline FuzzCamera make_fuzz_camera(const char* name)
{
    FuzzCamera x;
    std::string templ = std::string("/tmp/") + name + ".XXXXXX";
    if (!mkdtemp(templ.data()))
        abort();
    x.dir = templ;
    std::string err;
    if (!qxsim::Camera::create(x.dir, qxsim::CreateOptions{}, &err))
        abort();
    x.state.resize(sizeof(qxsim::CameraState));
    int fd = ::open((x.dir + "/camera.state").c_str(), O_RDONLY);
    if (fd < 0 || ::pread(fd, x.state.data(), x.state.size(), 0) != ssize_t(x.state.size()))
        abort();
    ::close(fd);
    qxsim::FlashStore store;
    if (!store.open(x.dir + "/flash.bin", &err))
        abort();
    x.factory.resize(store.programmed_end(0, 0x2000000));
    store.read(0, x.factory.data(), static_cast<uint32_t>(x.factory.size()));
    return x;
}
