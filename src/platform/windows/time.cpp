// Date and pauses on Windows.
#include "platform/platform.h"

#include <windows.h>

void PlatformLocalDate(int* day, int* month, int* year) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    *day = now.wDay;
    *month = now.wMonth;
    *year = now.wYear;
}

void PlatformSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
}
