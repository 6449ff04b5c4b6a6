#include "update/interrupt.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "hwaccess/fpga_io.h"
#include "update/asmi.h"
#include "update/asmi_regs.h"
#include "update/sensor.h"
#include "update/settings.h"

namespace {

const struct {
    int number;
    const char* name;
} held_signals[] = {
    {SIGINT, "SIGINT"},
    {SIGTERM, "SIGTERM"},
    {SIGHUP, "SIGHUP"},
};
const int HELD_SIGNALS = sizeof held_signals / sizeof held_signals[0];

struct sigaction saved_actions[HELD_SIGNALS];
bool held[HELD_SIGNALS];
volatile sig_atomic_t caught_signal = 0;
update_phase phase = PHASE_UNLOCKED;

void interrupt_catch(int signal)
{
    if (caught_signal == 0)
        caught_signal = signal;
}

const char* interrupt_signal_name(int signal)
{
    for (const auto& held : held_signals)
        if (held.number == signal)
            return held.name;
    return "a signal";
}

const char* interrupt_image_state()
{
    switch (phase) {
    case PHASE_UNLOCKED:
        return "nothing was erased";
    case PHASE_RECORDED:
        return "the new application image is complete";
    default:
        return "the application image is not complete, the FPGA will load its factory image";
    }
}

[[noreturn]] void interrupt_stop()
{
    const char* name = interrupt_signal_name(caught_signal);
    // Ends the spinner's or the progress line.
    putchar('\n');
    // An erase-only run leaves the flash unlocked and restarts the FPGA,
    // interrupted or not.
    if (update_erase_only) {
        console_log(LOG_ERR, "Interrupted by %s: the erase stopped, the flash stays unlocked", name);
        console_log(LOG_DEBUG, "Jumping out");
        fpga_reconfigure();
        exit(1);
    }
    // Words of a half-done pass would otherwise wait in the FIFOs for the
    // next run.
    asmi_clear_pulse();
    bool locked = asmi_write_protect(PROTECT_LOCK);
    if (!locked)
        console_log(LOG_DEBUG, "Unable to lock the sectors!");
    console_log(LOG_ERR, "Interrupted by %s: %s; %s", name,
                locked ? "the flash is locked again" : "the flash could not be locked again",
                interrupt_image_state());
    if (update_verbose)
        console_log(LOG_INFO, "Bail...");
    exit(1);
}

}  // namespace

void interrupt_hold()
{
    struct sigaction action = {};
    action.sa_handler = interrupt_catch;
    sigemptyset(&action.sa_mask);
    // Calls the driver restarts go on; the pauses resume by themselves.
    action.sa_flags = SA_RESTART;
    // A signal the run was started ignoring (nohup, a shell's background
    // job) stays ignored.
    for (int i = 0; i < HELD_SIGNALS; ++i) {
        sigaction(held_signals[i].number, nullptr, &saved_actions[i]);
        held[i] = saved_actions[i].sa_handler != SIG_IGN;
        if (held[i])
            sigaction(held_signals[i].number, &action, nullptr);
    }
}

void interrupt_phase(update_phase now)
{
    phase = now;
}

void interrupt_point()
{
    if (caught_signal != 0)
        interrupt_stop();
}

void interrupt_release()
{
    for (int i = 0; i < HELD_SIGNALS; ++i)
        if (held[i])
            sigaction(held_signals[i].number, &saved_actions[i], nullptr);
    if (caught_signal != 0)
        raise(caught_signal);
}
