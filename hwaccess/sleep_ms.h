// The tools' pauses and polls, in whole milliseconds.
#pragma once

#include <ctime>

inline void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}
