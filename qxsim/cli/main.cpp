// qxsim: the simulated camera's front end.
#include "qxsim/cli/flash_commands.h"
#include "qxsim/cli/paths.h"
#include "qxsim/cli/qxsim_paths.h"
#include "qxsim/cli/record_commands.h"
#include "qxsim/cli/sweep_commands.h"
#include "qxsim/cli/trace_tools.h"
#include "qxsim/cli/diff_commands.h"
#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/camera/camera.h"
#include "qxsim/model/camera/tool_locks.h"
#include "qxsim/model/devices/ident_memory.h"
#include "qxsim/model/devices/register_device.h"
#include "qxsim/model/fpga/asmi_controller.h"
#include "qxsim/model/fpga/fpga_status.h"
#include "qxsim/model/fpga/register_names.h"
#include "qxsim/trace/parse.h"

#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

const char usage_text[] =
    "usage: qxsim [--state DIR] COMMAND [ARGS]\n"
    "The state folder is DIR, else $QXSIM_STATE, else ./.qxsim.\n"
    "commands:\n"
    "  create [--sensor NAME|--sensor-code CODE] [--force]\n"
    "                        make a camera as it leaves the factory (NAME: LUX13HS-C, LUX13HS-M,\n"
    "                        LUX19HS-C, LUX19HS-M, LINCE5M-C, LINCE5M-M; CODE: 4 characters as\n"
    "                        in registers 4..7, or a number like 0x58394843)\n"
    "  power-cycle           remove and restore the camera's power: registers, FIFOs, I2C masters,\n"
    "                        DAC chips, channel and clamp registers and the flash's address mode\n"
    "                        back to power-on values; flash contents and protection, the\n"
    "                        identification memory, devices, faults, counters and trace kept;\n"
    "                        then the FPGA configures itself from flash (printed)\n"
    "  boot                  the same as power-cycle\n"
    "  factory-reset         a camera as it leaves the factory: flash erased but for the factory\n"
    "                        image and locked, every block at its defaults, faults, counters and\n"
    "                        trace cleared (the sensor is kept)\n"
    "  show                  the camera on one screen\n"
    "  fault list            faults that can be set\n"
    "  fault set NAME [ARGS] set a fault, e.g. 'fault set i2c-isb.busy 3'\n"
    "  fault clear [NAME]    clear one fault, the faults of one block or device, or all\n"
    "  set sensor NAME|CODE  program the identification memory\n"
    "  set ident-reg REG VALUE\n"
    "  set i2c-bus on|off    the I2C-enabled bit of FPGA_STATUS\n"
    "  set device BUS ADDR 8|16|32 [LABEL]   add (or change) a register device; BUS main|isb|iob\n"
    "  set device BUS ADDR none              remove it\n"
    "  set device-reg BUS ADDR REG VALUE\n"
    "  trace on|off|show|clear   show: the trace with register names\n"
    "  trace show --decode   the trace grouped into I2C transactions, flash operations, proc lines\n"
    "  peek REG              read a register (no faults, not counted); REG is a name\n"
    "                        like ASMI_STATUS or ISB_I2C_STATUS, or a number; a read of a\n"
    "                        FIFO data register (ASMI_RD_FIFO) pops a word, as the bus read does\n"
    "  poke REG VALUE        write a register (no faults, not counted)\n"
    "  run -- TOOL [ARGS]    run a tool against the camera\n"
    "  lock NAME -- CMD [ARGS]\n"
    "                        run CMD holding one of the tools' locks, as another tool would\n"
    "                        (NAME: i2c-main, i2c-isb, i2c-iob, flash); the lock ends with CMD\n";

int usage()
{
    std::fputs(usage_text, stderr);
    std::fputs(qxsim_cli::flash_usage_text, stderr);
    std::fputs(qxsim_cli::record_usage_text, stderr);
    std::fputs(qxsim_cli::sweep_usage_text, stderr);
    std::fputs(qxsim_cli::trace_tools_usage_text, stderr);
    std::fputs("  diff OTHER_DIR        what differs between this camera and the one in OTHER_DIR:\n"
               "                        registers, devices, flash protection and contents\n"
               "                        (exit 0 equal, 1 different, 2 a camera cannot be read)\n",
               stderr);
    return 2;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "qxsim: %s\n", message.c_str());
    return 1;
}

int cmd_create(const std::string& dir, const std::vector<std::string>& args)
{
    qxsim::CreateOptions options;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--force") {
            options.force = true;
        } else if ((args[i] == "--sensor" || args[i] == "--sensor-code") && i + 1 < args.size()) {
            if (!qxsim::parse_sensor(args[++i], &options.sensor_code))
                return fail("unknown sensor '" + args[i] + "'");
        } else {
            return usage();
        }
    }
    std::string err;
    if (!qxsim::Camera::create(dir, options, &err))
        return fail(err);
    std::printf("camera created in %s, sensor code 0x%08x (%s)\n", dir.c_str(), options.sensor_code,
                qxsim::sensor_name(options.sensor_code));
    return 0;
}

int cmd_fault(qxsim::Camera& cam, const std::vector<std::string>& args)
{
    std::string err;
    if (args.size() == 1 && args[0] == "list") {
        cam.list_faults(std::cout);
        return 0;
    }
    if (args.size() >= 2 && args[0] == "set") {
        std::vector<std::string> rest(args.begin() + 2, args.end());
        return cam.set_fault(args[1], rest, &err) ? 0 : fail(err);
    }
    if ((args.size() == 1 || args.size() == 2) && args[0] == "clear")
        return cam.clear_faults(args.size() == 2 ? args[1] : "", &err) ? 0 : fail(err);
    return usage();
}

bool parse_byte(const std::string& text, uint8_t* value)
{
    uint32_t v = 0;
    if (!qxsim::parse_u32(text, &v) || v > 0xFF)
        return false;
    *value = static_cast<uint8_t>(v);
    return true;
}

int cmd_set(qxsim::Camera& cam, const std::vector<std::string>& args)
{
    if (args.size() == 2 && args[0] == "sensor") {
        uint32_t code = 0;
        if (!qxsim::parse_sensor(args[1], &code))
            return fail("unknown sensor '" + args[1] + "'");
        cam.set_sensor(code);
        return 0;
    }
    if (args.size() == 3 && args[0] == "ident-reg") {
        uint8_t reg = 0, value = 0;
        if (!parse_byte(args[1], &reg) || !parse_byte(args[2], &value))
            return fail("ident-reg takes a register and a value, 0..255 each");
        cam.set_ident_register(reg, value);
        return 0;
    }
    if (args.size() == 2 && args[0] == "i2c-bus" && (args[1] == "on" || args[1] == "off")) {
        cam.set_i2c_bus(args[1] == "on");
        return 0;
    }
    qxsim::Bus bus = qxsim::BUS_MAIN;
    uint8_t addr = 0;
    if ((args.size() == 4 || args.size() == 5) && args[0] == "device") {
        if (!qxsim::parse_bus(args[1], &bus) || !parse_byte(args[2], &addr))
            return fail("set device takes a bus (main, isb, iob) and an address 0..255");
        if (args[3] == "none")
            return cam.remove_device(bus, addr)
                       ? 0
                       : fail(fmt::format("no register device at 0x{:02x} on {}", addr, args[1]));
        unsigned width = args[3] == "8" ? 1 : args[3] == "16" ? 2 : args[3] == "32" ? 4 : 0;
        if (!width)
            return fail("register width is 8, 16 or 32 bits");
        std::string label = args.size() == 5 ? args[4] : fmt::format("device-{}bit", width * 8);
        return cam.install_device(bus, addr, width, label)
                   ? 0
                   : fail(fmt::format("bus {} has no free device slot", args[1]));
    }
    if (args.size() == 5 && args[0] == "device-reg") {
        uint8_t reg = 0;
        uint32_t value = 0;
        if (!qxsim::parse_bus(args[1], &bus) || !parse_byte(args[2], &addr) || !parse_byte(args[3], &reg) ||
            !qxsim::parse_u32(args[4], &value))
            return fail("set device-reg takes a bus, an address, a register and a value");
        return cam.set_device_register(bus, addr, reg, value)
                   ? 0
                   : fail(fmt::format("no register device at 0x{:02x} on {}", addr, args[1]));
    }
    return usage();
}

int cmd_trace(qxsim::Camera& cam, const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return usage();
    if (args[0] == "on" || args[0] == "off") {
        cam.set_trace(args[0] == "on");
        return 0;
    }
    if (args[0] == "clear") {
        auto lock = cam.lock();
        if (::truncate(cam.trace_file().c_str(), 0) != 0 && errno != ENOENT)
            return fail("cannot clear " + cam.trace_file() + ": " + std::strerror(errno));
        return 0;
    }
    return usage();
}

// Prints what the FPGA loaded, as `show` does.
int cmd_power_cycle(qxsim::Camera& cam, const std::vector<std::string>& args)
{
    if (!args.empty())
        return usage();
    cam.power_cycle();
    auto lock = cam.lock();
    cam.asmi().boot().describe(std::cout);
    return 0;
}

pid_t run_child;

// A TERM or HUP for `qxsim run` is the tool's.
void forward_signal(int sig)
{
    if (run_child > 0)
        ::kill(run_child, sig);
}

// The tool runs as a child, so that a power cut that ends it can be told
// in a line; run ends as the tool did (128 + the signal that killed it).
int cmd_run(const std::string& dir, const std::vector<std::string>& args)
{
    size_t first = !args.empty() && args[0] == "--" ? 1 : 0;
    if (first >= args.size())
        return usage();
    std::string err;
    std::unique_ptr<qxsim::Camera> cam = qxsim::Camera::open(dir, &err);
    if (!cam)
        return fail(err);
    const uint64_t cuts = cam->power_cuts();
    if (!cam->powered())
        std::fprintf(stderr, "qxsim: the camera has no power since the cut at access %llu; qxsim power-cycle "
                             "restores it\n",
                     static_cast<unsigned long long>(cam->cut_access()));
    std::string tool = qxsim_cli::find_tool(args[first]);
    ::setenv("LD_PRELOAD", qxsim_cli::preload_list().c_str(), 1);
    ::setenv("QXSIM_STATE", qxsim_cli::absolute_path(dir).c_str(), 1);
    std::vector<char*> argv = qxsim_cli::exec_argv(tool, args.begin() + first + 1, args.end());
    std::fflush(nullptr);

    // The terminal's signals go to the tool alone, as with system().
    struct sigaction ignore = {}, forward = {}, old_int, old_quit, old_term, old_hup;
    ignore.sa_handler = SIG_IGN;
    forward.sa_handler = forward_signal;
    ::sigaction(SIGINT, &ignore, &old_int);
    ::sigaction(SIGQUIT, &ignore, &old_quit);
    ::sigaction(SIGTERM, &forward, &old_term);
    ::sigaction(SIGHUP, &forward, &old_hup);
    run_child = ::fork();
    if (run_child == 0) {
        ::sigaction(SIGINT, &old_int, nullptr);
        ::sigaction(SIGQUIT, &old_quit, nullptr);
        ::sigaction(SIGTERM, &old_term, nullptr);
        ::sigaction(SIGHUP, &old_hup, nullptr);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "qxsim: cannot run %s: %s\n", tool.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    if (run_child < 0) {
        std::fprintf(stderr, "qxsim: cannot run %s: %s\n", tool.c_str(), std::strerror(errno));
        return 127;
    }
    int status = 0;
    while (::waitpid(run_child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFSIGNALED(status))
        return WEXITSTATUS(status);
    if (WTERMSIG(status) == SIGKILL && cam->power_cuts() != cuts)
        std::fprintf(stderr, "qxsim: %s was killed by the power cut at access %llu; qxsim power-cycle restores "
                             "the power\n",
                     args[first].c_str(), static_cast<unsigned long long>(cam->cut_access()));
    return 128 + WTERMSIG(status);
}

// The lock is taken here and its descriptor handed on through exec, so it
// lasts exactly as long as CMD (and whatever CMD starts that keeps it).
int cmd_lock(const std::string& dir, const std::vector<std::string>& args)
{
    if (args.size() < 3 || args[1] != "--")
        return usage();
    const qxsim::ToolLockFile* lock = qxsim::ToolLocks::find(args[0]);
    if (!lock)
        return fail("no lock named '" + args[0] + "' (i2c-main, i2c-isb, i2c-iob, flash)");
    std::string err;
    if (!qxsim::Camera::open(dir, &err))
        return fail(err);
    qxsim::ToolLocks locks(dir);
    if (locks.take(*lock, true) < 0) {
        if (errno != EWOULDBLOCK)
            return fail("cannot lock " + locks.path(*lock) + ": " + std::strerror(errno));
        qxsim::LockHolder h = locks.holder(*lock);
        return fail(fmt::format("lock {} is held by pid {} ({})", lock->name, h.pid, h.command));
    }
    ::setenv("QXSIM_STATE", qxsim_cli::absolute_path(dir).c_str(), 1);
    std::vector<char*> argv = qxsim_cli::exec_argv(args[2], args.begin() + 3, args.end());
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "qxsim: cannot run %s: %s\n", argv[0], std::strerror(errno));
    return 127;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    const char* env = ::getenv("QXSIM_STATE");
    std::string dir = env && *env ? env : ".qxsim";
    bool explicit_state = false;
    if (args.size() >= 2 && args[0] == "--state") {
        dir = args[1];
        explicit_state = true;
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h")
        return usage();
    std::string command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());

    if (command == "create")
        return cmd_create(dir, rest);
    if (command == "run")
        return cmd_run(dir, rest);
    if (command == "record")
        return qxsim_cli::cmd_record(dir, rest);
    if (command == "replay")
        return qxsim_cli::cmd_replay(dir, explicit_state, rest);
    if (command == "lock")
        return cmd_lock(dir, rest);
    if (command == "sweep")
        return qxsim_cli::cmd_sweep(dir, rest);
    if (command == "diff")
        return qxsim_cli::cmd_diff(dir, rest);
    if (command == "trace" && !rest.empty() && rest[0] == "export")
        return qxsim_cli::cmd_trace_export(dir, {rest.begin() + 1, rest.end()});
    if (command == "trace" && !rest.empty() && rest[0] == "show")
        return qxsim_cli::cmd_trace_show(dir, {rest.begin() + 1, rest.end()});

    std::string err;
    std::unique_ptr<qxsim::Camera> cam = qxsim::Camera::open(dir, &err);
    if (!cam)
        return fail(err);
    if (command == "factory-reset" && rest.empty()) {
        cam->factory_reset();
        return 0;
    }
    if (command == "power-cycle" || command == "boot")
        return cmd_power_cycle(*cam, rest);
    if (command == "show" && rest.empty()) {
        cam->describe(std::cout);
        return 0;
    }
    if (command == "fault")
        return cmd_fault(*cam, rest);
    if (command == "set")
        return cmd_set(*cam, rest);
    if (command == "trace")
        return cmd_trace(*cam, rest);
    uint32_t reg = 0, value = 0;
    if (command == "peek" && rest.size() == 1) {
        if (!qxsim::parse_register(rest[0], &reg))
            return fail("not a register: " + rest[0]);
        std::printf("0x%08x\n", cam->peek(reg));
        return 0;
    }
    if (command == "flash")
        return qxsim_cli::cmd_flash(*cam, rest);
    if (command == "poke" && rest.size() == 2) {
        if (!qxsim::parse_register(rest[0], &reg) || !qxsim::parse_u32(rest[1], &value))
            return fail("poke takes a register and a 32-bit value");
        cam->poke(reg, value);
        return 0;
    }
    return usage();
}
