// The replay loop. Two kinds of input, by the first byte:
// - any trace text, replayed against a camera: it may agree only with a
//   whole session (every line a trace line, the last one ending in a
//   newline, at least one access, a recording's end mark last and nowhere
//   else), as the lines themselves show;
// - a program of register accesses and proc lines, run on one camera with
//   its answers written down as a recording, then replayed against a second
//   camera in the same state: the model must agree; with one read's value
//   changed in a bit that is not a busy bit, against a third camera, it
//   must differ at exactly that line.
#include "qxsim/model/camera/camera.h"
#include "qxsim/model/fpga/register_map.h"
#include "qxsim/replay/replay.h"
#include "qxsim/trace/trace_format.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    abort();
}

std::string root;

std::unique_ptr<qxsim::Camera> make_camera(const char* name)
{
    if (root.empty()) {
        char templ[] = "/tmp/qxfuzzreplay.XXXXXX";
        if (!::mkdtemp(templ))
            abort();
        root = templ;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        });
    }
    std::string err;
    qxsim::CreateOptions options;
    options.force = true;
    if (!qxsim::Camera::create(root + "/" + name, options, &err))
        fail("cannot make a camera", err);
    std::unique_ptr<qxsim::Camera> cam = qxsim::Camera::open(root + "/" + name, &err);
    if (!cam)
        fail("cannot open a camera", err);
    return cam;
}

std::FILE* sink()
{
    static std::FILE* f = std::fopen("/dev/null", "w");
    return f;
}

// Replays `text` against `cam`; its status, and what it printed in *out.
int replay(const std::string& text, qxsim::Camera& cam, std::string* out)
{
    char* buf = nullptr;
    size_t len = 0;
    std::FILE* f = ::open_memstream(&buf, &len);
    int status = qxsim::replay_text(text, "fuzz", [&](std::string*) { return &cam; }, false, f, sink());
    std::fclose(f);
    if (out)
        out->assign(buf, len);
    std::free(buf);
    return status;
}

// What a whole session looks like, from its lines alone.
bool whole_session(std::string_view text)
{
    if (text.empty() || text.back() != '\n')
        return false;
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        size_t nl = text.find('\n', start);
        if (nl > start)
            lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    bool access = false;
    for (size_t i = 0; i < lines.size(); i++) {
        qxsim::TraceRecord r;
        if (!qxsim::parse_trace_line(lines[i], &r))
            return false;
        access |= r.kind == 'R' || r.kind == 'W' || r.kind == 'P';
        if (r.kind == 'Z' && i + 1 != lines.size())
            return false;
    }
    if (!access)
        return false;
    qxsim::TraceRecord last;
    bool recording = lines.front().substr(0, 18) == "# qxsim recording ";
    return !recording || (lines.front() == qxsim::RECORDING_VERSION_LINE &&
                          qxsim::parse_trace_line(lines.back(), &last) && last.kind == 'Z');
}

// The registers a program reaches: the I2C masters, the flash controller,
// FPGA status and the channel registers.
const uint32_t REGISTERS[] = {
    0x004, 0x160, 0x164, 0x168, 0x16C, 0x170, 0x180, 0x184, 0x188, 0x18C, 0x190, 0x1A0, 0x1A4, 0x1A8, 0x1AC,
    0x1B0, 0x1000, 0x1004, 0x1008, 0x100C, 0x1010, 0x1014, 0x1018, 0x101C, 0x1020, 0x8210, 0x8170, 0x8000,
};
constexpr size_t REGISTER_COUNT = sizeof REGISTERS / sizeof REGISTERS[0];

// Values that mean something to the blocks, or the raw word.
uint32_t value_of(uint8_t how, const uint8_t* w)
{
    static const uint32_t MEANINGFUL[] = {0x50111, 0x10120, 0x73120, 0x4, 0x5f, 0x4b00, 0x1, 0x2, 0x8, 0x10,
                                          0x20,    0x40,    0x208,   0x210, 0x1000, 0x68, 0x5c, 0x2000000,
                                          0x100,   0x7fffff0, 0xc, 0x0};
    uint32_t raw;
    std::memcpy(&raw, w, 4);
    return how < 128 ? MEANINGFUL[how % (sizeof MEANINGFUL / sizeof MEANINGFUL[0])] : raw;
}

// One access of a program, as camera A took it.
struct Op {
    char kind;  // 'R', 'W' or 'P'
    uint32_t reg;
    uint32_t value;
};

bool run_op(qxsim::Camera& cam, Op* op)
{
    if (op->kind == 'R')
        return cam.reg_read(op->reg, &op->value) == 0;
    if (op->kind == 'W')
        return cam.reg_write(op->reg, op->value) == 0;
    char buf[48];
    int n = std::snprintf(buf, sizeof buf, "w 0x%x 0x%x\n", op->reg, op->value);
    return cam.proc_write(buf, static_cast<size_t>(n)) == 0;
}

void program(const uint8_t* data, size_t size)
{
    // Three cameras kept in one state: A runs each program, B replays it
    // whole, C replays it changed and then runs the rest of it. The flash
    // stays locked as it leaves the factory (no protect command is run).
    static std::unique_ptr<qxsim::Camera> cams[3] = {make_camera("a"), make_camera("b"), make_camera("c")};
    qxsim::Camera& a = *cams[0];
    std::string text = std::string(qxsim::RECORDING_VERSION_LINE) + "\n";
    std::vector<Op> ops;
    std::vector<size_t> reads;  // op index of each read
    std::vector<size_t> op_line, op_pos;  // line number and start of each op's line
    size_t line_no = 1;
    char line[qxsim::TRACE_LINE_FIXED + 64];
    auto put = [&](qxsim::TraceRecord r) {
        r.pid = 7;
        r.time_ns = 1000000000ull + line_no;
        line_no++;
        if (r.kind == 'R' || r.kind == 'W' || r.kind == 'P') {
            op_line.push_back(line_no);
            op_pos.push_back(text.size());
        }
        text.append(line, qxsim::format_trace_line(r, line, sizeof line));
    };
    if (a.device_open() != 0)
        fail("camera A refuses the open", "");
    put({0, 0, qxsim::TRACE_OPEN, 0, 0, 0, false, false, "/dev/qx_fpga"});
    const uint8_t* p = data + 1;
    const uint8_t* end = data + size - 2;  // the last two bytes pick the read to change
    for (unsigned n = 0; p + 6 <= end && n < 256; p += 6, n++) {
        Op op{p[0] >= 0xF0 ? 'P' : (p[0] & 0x80) ? 'W' : 'R', REGISTERS[p[0] % REGISTER_COUNT], value_of(p[1], p + 2)};
        if (op.kind != 'R' && op.reg == qxsim::ASMI_CMD && (op.value & qxsim::ASMI_PROTECT))
            continue;
        if (!run_op(a, &op))
            continue;  // refused: nothing changed
        qxsim::TraceRecord r;
        r.kind = op.kind;
        r.reg = op.reg;
        r.value = op.value;
        char proc[48];
        if (op.kind == 'P') {
            std::snprintf(proc, sizeof proc, "w 0x%x 0x%x", op.reg, op.value);
            r.text = proc;
        }
        if (op.kind == 'R')
            reads.push_back(ops.size());
        ops.push_back(op);
        put(r);
    }
    a.device_close();
    put({0, 0, qxsim::TRACE_CLOSE, 0, 0, 0, false, false, "/dev/qx_fpga"});
    put({0, 0, qxsim::TRACE_EXIT, 0, 0, 0, false, false, "exit"});
    put({0, 0, qxsim::TRACE_END, 0, 0, 0, false, false, "exit"});

    std::string said;
    if (ops.empty()) {
        // nothing to compare: replay refuses it, rightly; C catches up
        if (replay(text, *cams[1], &said) != 2 || replay(text, *cams[2], &said) != 2)
            fail("a session without an access is not refused", text);
        return;
    }
    if (replay(text, *cams[1], &said) != 0)
        fail("the model disagrees with its own answers", said + "\n" + text);
    // One read's value changed in a bit that is not a busy bit.
    size_t k = reads.empty() ? ops.size() : reads[(size_t(end[0]) << 8 | end[1]) % reads.size()];
    std::string changed = text;
    if (k < ops.size()) {
        qxsim::TraceRecord r;
        const size_t at = op_pos[k], eol = changed.find('\n', at);
        if (!qxsim::parse_trace_line(std::string_view(changed).substr(at, eol - at), &r))
            fail("a written line does not parse", changed.substr(at, eol - at));
        uint32_t bit = 1u << (end[1] % 32);
        if (r.reg == qxsim::ASMI_STATUS && bit == qxsim::ASMI_STATUS_BUSY)
            bit <<= 1;
        if ((r.reg == 0x164 || r.reg == 0x184 || r.reg == 0x1A4) && bit == qxsim::I2C_STATUS_BUSY)
            bit >>= 1;
        r.value ^= bit;
        changed.replace(at, eol + 1 - at, line, qxsim::format_trace_line(r, line, sizeof line));
    }
    const int status = replay(changed, *cams[2], &said);
    const std::string expected =
        k < ops.size() ? "model differs at line " + std::to_string(op_line[k]) + " of fuzz: " : "model agrees\n";
    if (status != (k < ops.size() ? 1 : 0) || said.rfind(expected, 0) != 0)
        fail("a changed read is not the difference", "expected: " + expected + "\n" + said + "\n" + changed);
    // C took the accesses up to the changed read: the rest as A took them
    for (size_t i = k + 1; i < ops.size(); i++) {
        Op op = ops[i];
        if (!run_op(*cams[2], &op) || (op.kind == 'R' && op.value != ops[i].value))
            fail("camera C left camera A's state", std::to_string(i));
    }
    if (k < ops.size())
        cams[2]->device_close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    if (data[0] & 1) {
        program(data, size);
        return 0;
    }
    static std::unique_ptr<qxsim::Camera> cam = make_camera("any");
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const int status = replay(text, *cam, nullptr);
    if (status < 0 || status > 2)
        fail("not a replay status", std::to_string(status));
    if (status == 0 && !whole_session(text))
        fail("model agrees with what is no whole session", text);
    return 0;
}
