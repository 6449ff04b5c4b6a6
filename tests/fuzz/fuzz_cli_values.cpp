// qxsim's command-line values: fault names and their arguments (`fault set`,
// `fault clear`), register names and numbers (`peek`, `poke`) and the
// `flash` commands, taken by the same functions the front end calls. The
// fuzz input is split at NUL bytes into words; its first byte picks the
// command. Each runs on a fresh camera whose state lies on the heap, where
// AddressSanitizer sees its bounds, and is held to what the command line
// promises:
// - a fault that is set shows in `show`, and clearing it by the same name
//   gives the camera's `show` back; a refused one says why and changes
//   nothing;
// - a register that parses names itself again by its name (any case) and by
//   its number; a number is the register of that number;
// - `flash id`, `flash protect` and the ranges of `flash read` take what
//   fits in a byte or in the array, and nothing else.
#include "qxsim/cli/flash_commands.h"
#include "fresh_camera.h"
#include "qxsim/model/camera/camera.h"
#include "qxsim/model/flash/epcq_parts.h"
#include "qxsim/model/flash/flash_store.h"
#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/fpga/register_names.h"
#include "qxsim/trace/parse.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

const FuzzCamera& fresh_camera()
{
    static FuzzCamera t = [] {
        FuzzCamera x = make_fuzz_camera("qxfuzzcli");
        // The flash commands print dumps: not to the fuzzer's output.
        int null = ::open("/dev/null", O_WRONLY);
        if (null < 0 || ::dup2(null, 1) < 0)
            abort();
        ::close(null);
        return x;
    }();
    return t;
}

std::string shown(qxsim::Camera& cam)
{
    std::ostringstream out;
    cam.describe(out);
    std::string text = out.str();
    return text.substr(0, text.find("\nTool locks"));  // the kernel's, not the camera's
}

void check(bool ok)
{
    if (!ok)
        abort();
}

void fault_round_trip(qxsim::Camera& cam, const std::vector<std::string>& words)
{
    const std::string before = shown(cam);
    std::vector<uint8_t> state_before(sizeof(qxsim::CameraState));
    std::memcpy(state_before.data(), &cam.state(), state_before.size());
    std::string err;
    const std::vector<std::string> args(words.begin() + 1, words.end());
    if (!cam.set_fault(words[0], args, &err)) {
        check(!err.empty());
        check(std::memcmp(state_before.data(), &cam.state(), state_before.size()) == 0);
        return;
    }
    check(shown(cam) != before);
    err.clear();
    check(cam.clear_faults(words[0], &err));
    check(shown(cam) == before);
}

void register_names(qxsim::Camera& cam, const std::string& text, const std::string& value)
{
    uint32_t reg = 0, number = 0;
    const bool parsed = qxsim::parse_register(text, &reg);
    if (qxsim::parse_u32(text, &number))
        check(parsed && reg == number);
    if (!parsed)
        return;
    uint32_t again = 0;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", reg);
    check(qxsim::parse_register(hex, &again) && again == reg);
    if (const char* name = qxsim::register_name(reg)) {
        std::string lower(name);
        for (char& c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        check(qxsim::parse_register(lower, &again) && again == reg);
    }
    uint32_t v = 0;
    if (qxsim::parse_u32(value, &v))
        cam.poke(reg, v);
    (void)cam.peek(reg);
}

void flash_command(qxsim::Camera& cam, std::vector<std::string> words, const std::string& dir)
{
    if (words.size() >= 3 && (words[0] == "read" || words[0] == "dump" || words[0] == "checksum")) {
        // Long ranges are slow to print, not different: cut them down.
        uint32_t len = 0;
        if (qxsim::parse_u32(words[2], &len) && len > 4096)
            words[2] = "4096";
    }
    if ((words[0] == "dump" && words.size() == 4) || (words[0] == "load" && words.size() == 3))
        words.back() = dir + "/fuzz-file";  // only the camera's folder
    const int status = qxsim_cli::cmd_flash(cam, words);
    uint32_t a = 0, b = 0;
    if (words.size() == 2 && (words[0] == "id" || words[0] == "protect")) {
        const bool byte = qxsim::parse_u32(words[1], &a) && a <= 0xFF;
        check((status == 0) == byte);
        auto lock = cam.lock();
        if (byte && words[0] == "id")
            check(cam.asmi().flash().read_id() == a);
        if (byte && words[0] == "protect")
            check(cam.asmi().flash().status_reg() == (a & qxsim::EPCQ_SR_PROTECT_MASK));
    }
    if (words.size() == 3 && (words[0] == "read" || words[0] == "checksum")) {
        const bool fits = qxsim::parse_u32(words[1], &a) && qxsim::parse_u32(words[2], &b) &&
                          uint64_t(a) + b <= qxsim::FlashStore::kSize;
        check((status == 0) == fits);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const FuzzCamera& t = fresh_camera();
    std::vector<std::string> words;
    std::string cur;
    for (size_t i = 1; i < size; i++) {
        if (data[i] == 0) {
            words.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(data[i]);
        }
    }
    words.push_back(cur);
    if (words.size() > 8)
        return 0;

    std::vector<uint8_t> s = t.state;
    std::string err;
    std::unique_ptr<qxsim::Camera> cam =
        qxsim::Camera::on_state(t.dir, reinterpret_cast<qxsim::CameraState*>(s.data()), &err);
    if (!cam)
        abort();
    switch (data[0] % 3) {
    case 0: fault_round_trip(*cam, words); break;
    case 1: register_names(*cam, words[0], words.size() > 1 ? words[1] : ""); break;
    default: {
        flash_command(*cam, words, t.dir);
        // Flash commands change the array: the next input gets the template's.
        auto lock = cam->lock();
        qxsim::FlashStore& store = cam->asmi().flash().store();
        store.erase(0, qxsim::FlashStore::kSize);
        store.load(0, t.factory.data(), uint32_t(t.factory.size()));
        break;
    }
    }
    return 0;
}
