// Signals between the unlock and the lock. SIGINT, SIGTERM and SIGHUP that
// arrive while the flash is unlocked do not end the run in the middle of an
// operation: the sector erase or block program in progress is finished, and
// the run ends at the next interrupt_point with the FIFOs cleared, the flash
// locked again (an erase-only run ends as such a run ends, unlocked) and a
// line that says how far it got.
#pragma once

// How far the run has got; says what an interrupted run leaves behind.
enum update_phase {
    PHASE_UNLOCKED,     // nothing erased yet
    PHASE_ERASING,      // the offset record is gone: the factory image boots
    PHASE_PROGRAMMING,
    PHASE_VERIFYING,
    PHASE_RECORDED,     // the offset record is written: the new image is complete
};

// From here on the three signals are held off until the next interrupt_point.
void interrupt_hold();

void interrupt_phase(update_phase phase);

// Between two operations: a signal held off since interrupt_hold ends the
// run here (exit status 1).
void interrupt_point();

// The lock is written (or an erase-only run's erase is done): the signals
// act as they did before interrupt_hold again, and one that arrived
// meanwhile acts now.
void interrupt_release();
