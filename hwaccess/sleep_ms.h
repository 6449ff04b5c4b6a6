// The tools' pauses and polls, in whole milliseconds.
#pragma once

#include <cerrno>
#include <ctime>

// A signal that is caught (update holds some off until an operation ends)
// does not cut a pause short.
inline void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
