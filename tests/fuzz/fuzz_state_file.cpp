// The simulated camera's own files, as a later process finds them.
//
// camera.state: a fresh camera's state with the first part of the fuzz input
// applied as patches (four bytes each: a 24-bit offset and the byte). The
// camera runs on a heap copy of it (Camera::on_state), so that AddressSanitizer
// sees the state's bounds: a head, level or count read from the file that
// indexed past them is a finding. The camera is shown, every block's
// registers are read, a proc line is taken, and the flash controller is
// driven with the state's own address and length: FIFO pushes and pops, a
// read, a sector erase, a page program, a protect, a reconfiguration and a
// power cycle.
//
// flash.bin: the rest of the input patches the array where the
// configuration logic reads (the factory and application images' headers,
// the offset record; two bytes each: place and offset, value), then the
// power cycle configures from it. Its last byte, when the input is odd,
// makes a copy of flash.bin of another size, which must be refused.
//
// The mutex keeps its freshly initialised bytes (the C library owns them);
// the faults that end the process by design (power cut, kill, torn flash
// operations) are cleared once the camera is open. The array is put back
// after every input.
#include "fresh_camera.h"
#include "qxsim/model/camera/camera.h"
#include "qxsim/model/flash/epcq_parts.h"
#include "qxsim/model/flash/flash_store.h"
#include "qxsim/model/fpga/asmi_controller.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

const FuzzCamera& fresh_camera()
{
    static const FuzzCamera t = make_fuzz_camera("qxfuzz");
    return t;
}

const uint32_t registers[] = {
    0x0, 0x4, 0x160, 0x164, 0x170, 0x180, 0x184, 0x190, 0x1A0, 0x1A4, 0x1B0,
    0x1000, 0x1004, 0x1008, 0x100C, 0x1010, 0x1018, 0x101C, 0x1020, 0x1040,
    0x8210, 0x8214, 0x8218, 0x821C, 0x8170, 0x2468,
};

// The sectors an input changed, put back as the template had them.
struct Touched : qxsim::FlashObserver {
    std::vector<uint32_t> sectors;
    void page_programmed(uint32_t addr, const uint8_t*, uint32_t) override { sectors.push_back(addr); }
    void sector_erased(uint32_t addr) override { sectors.push_back(addr); }
    void status_written(uint8_t) override {}

    void restore(qxsim::FlashStore& store, const std::vector<uint8_t>& factory)
    {
        for (uint32_t& addr : sectors)
            addr &= ~(qxsim::EPCQ_SECTOR_SIZE - 1);
        std::sort(sectors.begin(), sectors.end());
        sectors.erase(std::unique(sectors.begin(), sectors.end()), sectors.end());
        for (uint32_t base : sectors) {
            store.erase(base, qxsim::EPCQ_SECTOR_SIZE);
            if (base < factory.size())
                store.load(base, factory.data() + base,
                           std::min<uint32_t>(qxsim::EPCQ_SECTOR_SIZE, uint32_t(factory.size()) - base));
        }
        sectors.clear();
    }
};

// Where the configuration logic reads the array.
const uint32_t flash_places[4] = {0x0000000, 0x2000000, 0x7FFFFF0, 0x2000040};

// A flash.bin of `size` bytes beside the camera's: refused unless it is the
// array's size.
void other_sized_flash(const std::string& dir, uint32_t size)
{
    const std::string path = dir + "/other.bin";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::ftruncate(fd, size) != 0)
        abort();
    ::close(fd);
    qxsim::FlashStore store;
    std::string err;
    if (store.open(path, &err) != (size == qxsim::FlashStore::kSize) || (!store.is_open() && err.empty()))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const FuzzCamera& t = fresh_camera();
    // The first byte says how many state patches follow; flash patches after.
    const size_t state_patches = size ? data[0] : 0;
    size_t i = 1;
    std::vector<uint8_t> s = t.state;
    for (size_t n = 0; n < state_patches && i + 4 <= size; n++, i += 4)
        s[(size_t(data[i]) | size_t(data[i + 1]) << 8 | size_t(data[i + 2]) << 16) % s.size()] = data[i + 3];
    auto* st = reinterpret_cast<qxsim::CameraState*>(s.data());
    std::memcpy(&st->core.lock, &reinterpret_cast<const qxsim::CameraState*>(t.state.data())->core.lock,
                sizeof st->core.lock);
    st->core.trace_on = 0;

    std::string err;
    std::unique_ptr<qxsim::Camera> cam = qxsim::Camera::on_state(t.dir, st, &err);
    if (!cam)
        abort();  // the template's flash.bin is fine
    Touched touched;
    {
        auto lock = cam->lock();
        cam->asmi().flash().set_observer(&touched);
        qxsim::FlashStore& store = cam->asmi().flash().store();
        for (; i + 2 <= size; i += 2) {
            const uint8_t value = data[i + 1];
            const unsigned place = data[i] >> 6, offset = data[i] & (place == 2 ? 0x0F : 0x3F);
            store.load(flash_places[place] + offset, &value, 1);
            touched.sectors.push_back(flash_places[place] + offset);
        }
    }
    if (size % 2)
        other_sized_flash(t.dir, data[size - 1] == 0xFF ? qxsim::FlashStore::kSize : uint32_t(data[size - 1]) << 19);

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

    // The flash controller with whatever address, length, FIFOs and chip
    // state the file holds: pops past the level, a read, pushes past the
    // FIFO's size, a program, an erase, the protection, a reconfiguration.
    using namespace qxsim;
    for (int k = 0; k < 70; k++)
        cam->reg_read(ASMI_RD_FIFO, &v);
    cam->reg_write(ASMI_CMD, ASMI_READ);
    for (int k = 0; k < 70; k++)
        cam->reg_read(ASMI_RD_FIFO, &v);
    for (int k = 0; k < 70; k++)
        cam->reg_write(ASMI_WR_FIFO, 0xA5A5A5A5u + static_cast<uint32_t>(k));
    cam->reg_read(ASMI_WR_FIFO_LEVEL, &v);
    cam->reg_write(ASMI_CMD, ASMI_WRITE | ASMI_IMAGE_DATA);
    cam->reg_write(ASMI_CMD, ASMI_SECTOR_ERASE);
    cam->reg_write(ASMI_CMD, ASMI_PROTECT);
    cam->reg_write(ASMI_CMD, ASMI_READ_ID);
    cam->reg_read(ASMI_STATUS, &v);
    cam->reg_write(ASMI_CMD, ASMI_CLEAR);
    cam->reg_write(ASMI_RECONFIG, ASMI_RECONFIG_START);
    cam->describe(out);
    cam->power_cycle();
    cam->describe(out);

    // The array as the template had it, for the next input.
    auto lock = cam->lock();
    touched.restore(cam->asmi().flash().store(), t.factory);
    cam->asmi().flash().set_observer(nullptr);
    return 0;
}
