// Process set-up, the operator's stop and the end of a run on Windows.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/windows/windows_platform.h"

const int PlatformStoppedExitStatus = (int)0xC000013A; // STATUS_CONTROL_C_EXIT

HANDLE StopEvent;
static HANDLE RunEnded;
static volatile LONG StopCount;
static volatile LONG WindowClosing;

// Runs after main returns and on every exit().
static void EndOfRun() {
    ConsoleRestore();
    if (!WindowClosing) {
        ConsoleHoldWindowOpen();
    }
    SetEvent(RunEnded);
}

// Runs on a thread of its own: it only notes the stop and wakes the pause;
// the main thread finishes the SDK call in progress and stops in order.
static BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (InterlockedIncrement(&StopCount) > 1) {
            return FALSE; // the second one: the default handler ends the process
        }
        SetEvent(StopEvent);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        // Windows ends the process about 5 s after this event whatever the
        // handler does; give the main thread most of that to close the
        // session and the log.
        InterlockedExchange(&WindowClosing, 1);
        InterlockedIncrement(&StopCount);
        SetEvent(StopEvent);
        WaitForSingleObject(RunEnded, 4000);
        return TRUE;
    default:
        return FALSE;
    }
}

void PlatformInit() {
    // Firmware files are unpacked into the working directory; no library,
    // nor anything a library pulls in, may ever come from there.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Bytes reach the console exactly as written: no CR inserted before LF.
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IONBF, 0);
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    RunEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ConsoleSetUp();
    atexit(EndOfRun);
    // The operator may stop the run at any moment, not only the flash.
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void PlatformFlashBegins() {
    HoldAwake();
    FinePausesBegin();
}

void PlatformFlashEnds() {
    FinePausesEnd();
    ReleaseAwake();
}

bool PlatformStopRequested() {
    return StopCount != 0;
}
