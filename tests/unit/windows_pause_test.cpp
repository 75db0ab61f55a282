// Pauses on Windows, under Wine in the tests: a long one never spins, a
// short one is never short.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/platform.h"
#include "platform/windows/windows_platform.h"

static double CpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
    return (double)(k.QuadPart + u.QuadPart) / 10000.0;
}

static DWORD WINAPI StopAfter300Ms(LPVOID) {
    Sleep(300);
    SetEvent(StopEvent);
    return 0;
}

TEST(Pause, LongestPauseWaitsWithoutSpinning) {
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    FinePausesBegin();
    for (int timer = 0; timer < 2; timer++) { // the waitable timer, then the plain wait
        ResetEvent(StopEvent);
        HANDLE stopper = CreateThread(nullptr, 0, StopAfter300Ms, nullptr, 0, nullptr);
        double before = CpuMs();
        PlatformSleep(100000000); // about 28 hours
        EXPECT_LT(CpuMs() - before, 50.0) << (timer == 0 ? "timer" : "plain wait");
        WaitForSingleObject(stopper, INFINITE);
        CloseHandle(stopper);
        FinePausesEnd();
    }
    ResetEvent(StopEvent);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    PlatformSleep(10);
    QueryPerformanceCounter(&end);
    EXPECT_GE((end.QuadPart - start.QuadPart) * 1000.0 / frequency.QuadPart, 10.0);
    CloseHandle(StopEvent);
    StopEvent = nullptr;
}
