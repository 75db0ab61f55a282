// Keeping Windows awake and the session alive while the frontend is being
// written. Neither stops a lid close or the power button.
#include <stdlib.h>

#include "platform/windows/windows_platform.h"

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

void SessionWindowStart() {
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

void PlatformFlashBegins() {
    // The display too: on Modern Standby machines an idle display-off is
    // the way into standby.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
    InterlockedExchange(&Flashing, 1);
    if (WindowThreadId != 0) {
        PostThreadMessageW(WindowThreadId, WM_BLOCK_SESSION_END, 0, 0);
    }
    FinePausesBegin();
}

void PlatformFlashEnds() {
    FinePausesEnd();
    InterlockedExchange(&Flashing, 0);
    if (WindowThreadId != 0) {
        PostThreadMessageW(WindowThreadId, WM_ALLOW_SESSION_END, 0, 0);
    }
    SetThreadExecutionState(ES_CONTINUOUS);
}
