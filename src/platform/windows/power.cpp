// Keeping Windows awake and the session alive while the frontend is being
// written. Neither stops a lid close or the power button.
#include <stdlib.h>

#include "platform/windows/windows_platform.h"

static const wchar_t BlockReason[] = L"Writing firmware into the frontend";
enum { WM_RELEASE = WM_APP + 1 };

static HANDLE WindowThread;
static DWORD WindowThreadId;
// The session is ending: the window's thread waits for the run to end and
// cannot be waited for in turn.
static volatile LONG SessionEnding;

// A logoff or restart asks every top-level window first; this one says no,
// with a reason the user sees. Told to close (taskkill without /F), it
// stays and asks the run to stop, like Ctrl-C. When the session ends all
// the same ("Sign out anyway"), the process is ended as soon as this
// returns: stop in order first, within the time Windows gives.
static LRESULT CALLBACK ShutdownBlockWindow(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
    case WM_QUERYENDSESSION:
        return FALSE;
    case WM_CLOSE:
        RequestStop(false);
        return 0;
    case WM_ENDSESSION:
        if (w) {
            InterlockedExchange(&SessionEnding, 1);
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

static DWORD WINAPI RunShutdownBlockWindow(LPVOID start) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ShutdownBlockWindow;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"KestruneShutdownBlock";
    RegisterClassW(&windowClass);
    // A hidden top-level window: message-only windows get no WM_QUERYENDSESSION.
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Kestrune", WS_OVERLAPPED, 0, 0, 0,
                                  0, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window != nullptr) {
        ShutdownBlockReasonCreate(window, BlockReason);
    }
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE); // the queue exists now
    StartSignal* signal = static_cast<StartSignal*>(start);
    SetEvent(signal->ready);
    LeaveStartSignal(signal);
    while (GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != WM_RELEASE) {
        DispatchMessageW(&message);
    }
    if (window != nullptr) {
        ShutdownBlockReasonDestroy(window);
        DestroyWindow(window);
    }
    return 0;
}

static void HoldAwake() {
    // The display too: on Modern Standby machines an idle display-off is
    // the way into standby.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
    StartSignal* signal = static_cast<StartSignal*>(malloc(sizeof(StartSignal)));
    if (signal == nullptr) {
        return; // awake all the same; only the logoff is not held off
    }
    signal->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    signal->users = 2;
    WindowThread = CreateThread(nullptr, 0, RunShutdownBlockWindow, signal, 0, &WindowThreadId);
    if (WindowThread != nullptr) {
        WaitForSingleObject(signal->ready, 5000);
    } else {
        LeaveStartSignal(signal); // the thread's share: it never ran
    }
    LeaveStartSignal(signal);
}

static void ReleaseAwake() {
    if (WindowThread != nullptr) {
        // Until the thread has a queue to take it, or has ended: a message
        // posted before would be lost, and the block would stay.
        while (!PostThreadMessageW(WindowThreadId, WM_RELEASE, 0, 0) &&
               WaitForSingleObject(WindowThread, 10) == WAIT_TIMEOUT) {
        }
        if (!SessionEnding) {
            WaitForSingleObject(WindowThread, 5000);
        }
        CloseHandle(WindowThread);
        WindowThread = nullptr;
    }
    SetThreadExecutionState(ES_CONTINUOUS);
}

void PlatformFlashBegins() {
    HoldAwake();
    FinePausesBegin();
}

void PlatformFlashEnds() {
    FinePausesEnd();
    ReleaseAwake();
}
