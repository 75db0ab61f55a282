// Date and pauses on POSIX systems.
#include "platform/platform.h"

#include <cerrno>
#include <ctime>

void PlatformLocalDate(int* day, int* month, int* year) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    *day = local.tm_mday;
    *month = local.tm_mon + 1;
    *year = local.tm_year + 1900;
}

void PlatformSleep(uint32_t milliseconds) {
    // Until an absolute time, so that a signal that is not a stop does not
    // lengthen or shorten the pause.
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    while (!PlatformStopRequested() &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

uint64_t PlatformMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}
