// Process set-up, the operator's stop and the end of a run on Windows.
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/console_backlog.h"
#include "platform/windows/windows_platform.h"

#include <shellapi.h>
#include <tlhelp32.h>

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
    ConsoleEndWriters();
    ConsoleRestore();
    SetEvent(RunEnded);
    if (!WindowClosing) {
        ConsoleHoldWindowOpen();
    }
}

static volatile LONG Worker;        // a station's worker: it stops once
static volatile LONG SecondHeld;    // a station that has not passed the first on yet
static volatile LONG SecondPending; // a second stop that waits for that

// Nothing more runs in the process then: not the SDK's detach code under a
// lock the main thread may hold, nor the atexit handlers; only the last
// words, which wait for nothing.
static void EndAtOnce(bool flushFirst) {
    if (LastWords != nullptr) {
        LastWords(false);
    }
    if (flushFirst) {
        ConsoleEndWriters();
    }
    ConsoleRestore();
    TerminateProcess(GetCurrentProcess(), (UINT)PlatformStoppedExitStatus);
}

void RequestStop(bool fromKeyboard) {
    InterlockedIncrement(&StopCount);
    // Only the operator's second Ctrl-C or Ctrl-Break ends the process at
    // once; a window close, a session end or taskkill never does; nor does
    // anything end a station's worker, which shares the station's console.
    if (fromKeyboard && !Worker && InterlockedIncrement(&KeyboardStops) > 1) {
        if (SecondHeld && InterlockedExchange(&SecondPending, 1) == 0) {
            // the station ends sooner, with the records it owes
        } else {
            EndAtOnce(false);
        }
    }
    SetEvent(StopEvent);
}

void PlatformHoldSecondStop() {
    InterlockedExchange(&SecondHeld, 1);
}

bool PlatformSecondStopHeld() {
    return SecondPending != 0;
}

void PlatformEndForSecondStop() {
    EndAtOnce(true);
}

// The process that started this one, if it is still the one that did: a
// process started later under a reused id is not.
static HANDLE OpenParent() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    DWORD self = GetCurrentProcessId(), parent = 0;
    for (BOOL more = snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        parent = entry.th32ProcessID == self ? entry.th32ParentProcessID : parent;
    }
    if (snapshot != INVALID_HANDLE_VALUE) {
        CloseHandle(snapshot);
    }
    HANDLE process =
        parent != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent)
                    : nullptr;
    FILETIME parentStart, ownStart, unused;
    if (process != nullptr &&
        (!GetProcessTimes(process, &parentStart, &unused, &unused, &unused) ||
         !GetProcessTimes(GetCurrentProcess(), &ownStart, &unused, &unused, &unused) ||
         CompareFileTime(&parentStart, &ownStart) > 0)) {
        CloseHandle(process);
        process = nullptr;
    }
    return process;
}

static DWORD WINAPI WatchStation(LPVOID station) {
    WaitForSingleObject(station, INFINITE);
    RequestStop(false); // the station is gone: stop in order
    return 0;
}

void PlatformServeStation() {
    InterlockedExchange(&Worker, 1);
    HANDLE station = OpenParent();
    if (station == nullptr) {
        RequestStop(false); // gone already
        return;
    }
    HANDLE thread = CreateThread(nullptr, 0, WatchStation, station, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
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

// --- The hidden window -------------------------------------------------------

static const wchar_t BlockReason[] = L"Writing firmware into the frontend";
// Posted to the window's thread: ShutdownBlockReasonCreate and Destroy work
// only from the thread that made the window.
enum { WM_BLOCK_SESSION_END = WM_APP + 1, WM_ALLOW_SESSION_END };

static DWORD WindowThreadId;
static volatile LONG Flashing;

// A logoff or restart asks every top-level window first; while the frontend
// is being written this one says no, with a reason the user sees. Told to
// close (taskkill without /F), it stays and asks the run to stop, like
// Ctrl-C, at any moment of the run. When the session ends all the same
// ("Sign out anyway"), the process is ended as soon as this returns: stop
// in order first, within the time Windows gives.
static LRESULT CALLBACK SessionWindow(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
    case WM_QUERYENDSESSION:
        return Flashing ? FALSE : TRUE;
    case WM_CLOSE:
        RequestStop(false);
        return 0;
    case WM_ENDSESSION:
        if (w) {
            RequestStop(false);
            AwaitEndOfRun();
        }
        return 0;
    default:
        return DefWindowProcW(window, message, w, l);
    }
}

// The start-up signal, given back by whichever of the two threads is done
// with it last: the starter stops waiting after five seconds, while the
// window's thread may still be about to signal.
struct StartSignal {
    HANDLE ready;
    volatile LONG users;
};

static void LeaveStartSignal(StartSignal* signal) {
    if (InterlockedDecrement(&signal->users) == 0) {
        CloseHandle(signal->ready);
        free(signal);
    }
}

// Runs as long as the process: the window is there from the start, so that
// a close or a session end stops the run in order whenever it comes.
static DWORD WINAPI RunSessionWindow(LPVOID start) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = SessionWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KestruneSession";
    RegisterClassW(&windowClass);
    // A hidden top-level window: message-only windows get no WM_QUERYENDSESSION.
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Kestrune", WS_OVERLAPPED, 0, 0, 0,
                                  0, nullptr, nullptr, windowClass.hInstance, nullptr);
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE); // the queue exists now
    StartSignal* signal = static_cast<StartSignal*>(start);
    SetEvent(signal->ready);
    LeaveStartSignal(signal);
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_BLOCK_SESSION_END && window != nullptr) {
            ShutdownBlockReasonCreate(window, BlockReason);
        } else if (message.message == WM_ALLOW_SESSION_END && window != nullptr) {
            ShutdownBlockReasonDestroy(window);
        }
        DispatchMessageW(&message);
    }
    return 0;
}

static void SessionWindowStart() {
    StartSignal* signal = static_cast<StartSignal*>(malloc(sizeof(StartSignal)));
    if (signal == nullptr) {
        return; // Ctrl-C still stops in order; a close or a logoff does not
    }
    signal->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    signal->users = 2;
    HANDLE thread = CreateThread(nullptr, 0, RunSessionWindow, signal, 0, &WindowThreadId);
    if (thread != nullptr) {
        // Its queue exists once it signals: nothing posted after is lost.
        WaitForSingleObject(signal->ready, 5000);
        CloseHandle(thread);
    } else {
        WindowThreadId = 0;
        LeaveStartSignal(signal); // the thread's share: it never ran
    }
    LeaveStartSignal(signal);
}

void HoldSessionEnd(bool hold) {
    InterlockedExchange(&Flashing, hold ? 1 : 0);
    if (WindowThreadId != 0) {
        PostThreadMessageW(WindowThreadId, hold ? WM_BLOCK_SESSION_END : WM_ALLOW_SESSION_END, 0,
                           0);
    }
}

void PlatformInit() {
    // Firmware files are unpacked into the working directory; no library,
    // nor anything a library pulls in, may ever come from there.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Bytes reach the console exactly as written: no CR inserted before LF.
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IONBF, 0);
    // Nor is standard error held back when it is redirected (the console
    // of a --json run): a program reading both sees the question at once.
    setvbuf(stderr, nullptr, _IONBF, 0);
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
