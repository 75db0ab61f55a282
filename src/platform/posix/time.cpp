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
    struct timespec pause;
    pause.tv_sec = milliseconds / 1000;
    pause.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}
