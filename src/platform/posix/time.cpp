// Date and pauses on POSIX systems.
#include "platform/platform.h"

#include <cerrno>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/posix_platform.h"

void PlatformLocalDate(int* day, int* month, int* year) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    *day = local.tm_mday;
    *month = local.tm_mon + 1;
    *year = local.tm_year + 1900;
}

struct timespec TimeAfter(clockid_t clock, uint32_t ms) {
    struct timespec time;
    clock_gettime(clock, &time);
    time.tv_sec += ms / 1000;
    time.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (time.tv_nsec >= 1000000000L) {
        time.tv_sec++;
        time.tv_nsec -= 1000000000L;
    }
    return time;
}

void PlatformSleep(uint32_t milliseconds) {
    // Until an absolute time, so that a signal that is not a stop does not
    // lengthen or shorten the pause.
    struct timespec until = TimeAfter(CLOCK_MONOTONIC, milliseconds);
    while (!PlatformStopRequested() &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

uint64_t PlatformKernelMilliseconds() {
    struct timespec now = {};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now); // not through the C library
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}

uint64_t PlatformMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}
