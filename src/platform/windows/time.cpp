// Date and pauses on Windows. Sleep rounds up to the system timer tick
// (15.625 ms by default): Sleep(10) lasts 15.6 ms, Sleep(100) 109 ms. Pauses
// wait on a high-resolution waitable timer instead (Windows 10 1803 and
// later); where there is none, the timer tick is lowered to 1 ms for the
// flash. Either way the wait also ends when the operator asks to stop.
#include "platform/platform.h"

#include "platform/windows/windows_platform.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

typedef UINT(WINAPI* TimePeriodFn)(UINT);

static HANDLE Timer;
static HMODULE Winmm;
static TimePeriodFn TimeEndPeriod;

void PlatformLocalDate(int* day, int* month, int* year) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    *day = now.wDay;
    *month = now.wMonth;
    *year = now.wYear;
}

void FinePausesBegin() {
    Timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                   TIMER_ALL_ACCESS);
    if (Timer != nullptr) {
        return;
    }
    Timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    // Loaded at run time from the system directory: winmm is not a known
    // DLL, so an import of it could be taken from beside the exe.
    Winmm = LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    TimePeriodFn timeBeginPeriod = nullptr;
    if (Winmm != nullptr) {
        timeBeginPeriod =
            reinterpret_cast<TimePeriodFn>(PlatformFindSymbol(Winmm, "timeBeginPeriod"));
        TimeEndPeriod = reinterpret_cast<TimePeriodFn>(PlatformFindSymbol(Winmm, "timeEndPeriod"));
    }
    if (timeBeginPeriod == nullptr || TimeEndPeriod == nullptr || timeBeginPeriod(1) != 0) {
        TimeEndPeriod = nullptr;
    }
}

void FinePausesEnd() {
    if (TimeEndPeriod != nullptr) {
        TimeEndPeriod(1);
        TimeEndPeriod = nullptr;
    }
    if (Winmm != nullptr) {
        FreeLibrary(Winmm);
        Winmm = nullptr;
    }
    if (Timer != nullptr) {
        CloseHandle(Timer);
        Timer = nullptr;
    }
}

static LONGLONG Now() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

void PlatformSleep(uint32_t milliseconds) {
    if (StopEvent == nullptr) { // before PlatformInit
        Sleep(milliseconds);
        return;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    LONGLONG perSecond = frequency.QuadPart;
    LONGLONG deadline =
        Now() + milliseconds / 1000 * perSecond + milliseconds % 1000 * perSecond / 1000;
    // A timer may fire a little early; wait again for what is left, so that
    // a pause is never shorter than asked.
    for (LONGLONG now = Now(); now < deadline; now = Now()) {
        // In two parts, so that no product overflows for any pause at any
        // counter frequency: an overflow made a long pause spin.
        LONGLONG ticks = deadline - now;
        LONGLONG left100ns =
            ticks / perSecond * 10000000 + ticks % perSecond * 10000000 / perSecond + 1;
        DWORD waited;
        if (Timer != nullptr) {
            LARGE_INTEGER due;
            due.QuadPart = -left100ns;
            SetWaitableTimer(Timer, &due, 0, nullptr, nullptr, FALSE);
            HANDLE handles[2] = {StopEvent, Timer};
            waited = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        } else {
            // (INFINITE is the largest DWORD: stay below it.)
            LONGLONG leftMs = (left100ns + 9999) / 10000;
            waited =
                WaitForSingleObject(StopEvent, leftMs < INFINITE ? (DWORD)leftMs : INFINITE - 1);
        }
        if (waited == WAIT_OBJECT_0 || waited == WAIT_FAILED) {
            return; // stopped
        }
    }
}

uint64_t PlatformMilliseconds() {
    return GetTickCount64();
}

uint64_t PlatformKernelMilliseconds() {
    return GetTickCount64();
}
