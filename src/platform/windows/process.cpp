// Process set-up, the operator's stop and the end of a run on Windows.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/windows/windows_platform.h"

#include <shellapi.h>

const int PlatformStoppedExitStatus = (int)0xC000013A; // STATUS_CONTROL_C_EXIT

HANDLE StopEvent;
static HANDLE RunEnded;
static volatile LONG StopCount;
static volatile LONG KeyboardStops;
static volatile LONG WindowClosing;
static void (*LastWords)(bool inSignalHandler);

void PlatformOnSecondStop(void (*lastWords)(bool inSignalHandler)) {
    LastWords = lastWords;
}

// Runs after main returns and on every exit(). The run has ended once the
// session and the log are closed: a window closed at the last prompt need
// not wait for anything.
static void EndOfRun() {
    ConsoleEndWriter();
    ConsoleRestore();
    SetEvent(RunEnded);
    if (!WindowClosing) {
        ConsoleHoldWindowOpen();
    }
}

void RequestStop(bool fromKeyboard) {
    InterlockedIncrement(&StopCount);
    // Only the operator's second Ctrl-C or Ctrl-Break ends the process at
    // once; a window close, a session end or taskkill never does. Nothing
    // more runs in it then: not the SDK's detach code under a lock the main
    // thread may hold, nor the atexit handlers; only the last words, which
    // wait for nothing.
    if (fromKeyboard && InterlockedIncrement(&KeyboardStops) > 1) {
        if (LastWords != nullptr) {
            LastWords(false);
        }
        ConsoleRestore();
        TerminateProcess(GetCurrentProcess(), (UINT)PlatformStoppedExitStatus);
    }
    SetEvent(StopEvent);
}

void AwaitEndOfRun() {
    // Windows ends a process that keeps it waiting after the hung-app
    // timeout (5 s unless tuned); leave a second of it for the rest.
    DWORD timeout = 5000;
    SystemParametersInfoW(SPI_GETHUNGAPPTIMEOUT, 0, &timeout, 0);
    WaitForSingleObject(RunEnded, timeout > 1000 ? timeout - 1000 : 0);
}

// Runs on a thread of its own: it only notes the stop and wakes the pause
// or the key read; the main thread finishes the SDK call in progress and
// stops in order.
static BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        RequestStop(true);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        // Windows ends the process when this handler returns, or at the
        // timeout: give the main thread that time to close the session and
        // the log.
        InterlockedExchange(&WindowClosing, 1);
        InterlockedIncrement(&StopCount);
        SetEvent(StopEvent);
        AwaitEndOfRun();
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
    PlatformRetakeStop();
    SessionWindowStart();
}

void PlatformRetakeStop() {
    // Also where the host started the tool ignoring Ctrl-C (start /b,
    // CREATE_NEW_PROCESS_GROUP), which the process would otherwise inherit.
    SetConsoleCtrlHandler(nullptr, FALSE);
    // Last registered, first asked: ahead of any handler a library added.
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool PlatformStopRequested() {
    return StopCount != 0;
}

// The command line as Windows holds it, split once: the arguments the tool
// reads and the file names it opens come from this one split, so that the
// two can never disagree.
static wchar_t** WideArguments;
static int WideCount;

void PlatformArguments(int* argc, char*** argv) {
    WideArguments = CommandLineToArgvW(GetCommandLineW(), &WideCount);
    char** narrow = WideArguments != nullptr
                        ? static_cast<char**>(calloc((size_t)WideCount + 1, sizeof(char*)))
                        : nullptr;
    for (int i = 0; narrow != nullptr && i < WideCount; i++) {
        // In the ANSI code page, as the SDK takes a frontend's name.
        int size =
            WideCharToMultiByte(CP_ACP, 0, WideArguments[i], -1, nullptr, 0, nullptr, nullptr);
        narrow[i] = size > 0 ? static_cast<char*>(malloc((size_t)size)) : nullptr;
        if (narrow[i] == nullptr) {
            free(narrow);
            narrow = nullptr;
            break;
        }
        WideCharToMultiByte(CP_ACP, 0, WideArguments[i], -1, narrow[i], size, nullptr, nullptr);
    }
    if (narrow == nullptr) { // the C runtime's split is all there is
        WideCount = 0;
        return;
    }
    *argc = WideCount;
    *argv = narrow;
}

const char* PlatformFileArgument(int, char** argv, int index) {
    if (index >= WideCount) {
        return argv[index];
    }
    int size =
        WideCharToMultiByte(CP_UTF8, 0, WideArguments[index], -1, nullptr, 0, nullptr, nullptr);
    char* utf8 = size > 0 ? static_cast<char*>(malloc((size_t)size)) : nullptr;
    if (utf8 == nullptr) {
        return argv[index];
    }
    WideCharToMultiByte(CP_UTF8, 0, WideArguments[index], -1, utf8, size, nullptr, nullptr);
    return utf8;
}
