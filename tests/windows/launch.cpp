// Starts a program the way a line-control program or a service host does,
// for the tests under Wine: "launch no-window|new-group PROGRAM ARGS...".
// "launch close:MS" and "launch close-then-end-session:MS" tell the
// program's hidden window, MS milliseconds after it appeared, to close as
// taskkill without /F does, then the second also that the session ends.
// "launch lock-history:MS" holds history.csv locked, as another run's
// append does, from before the start until MS milliseconds after it.
// Waits at most a minute, then ends it and exits with 99; otherwise exits
// with the program's status.
#include <windows.h>

#include <string>

static HWND Found;

static BOOL CALLBACK FindWindowOf(HWND window, LPARAM processId) {
    DWORD owner = 0;
    wchar_t name[32];
    GetWindowThreadProcessId(window, &owner);
    if (owner != (DWORD)processId || GetClassNameW(window, name, 32) == 0 ||
        wcscmp(name, L"KestruneSession") != 0) {
        return TRUE;
    }
    Found = window;
    return FALSE;
}

// What Windows sends the program's windows: a close, then the session end.
static void EndSession(const PROCESS_INFORMATION& process, DWORD pause, bool sessionEnds) {
    // Once the window is there (a cold Wine takes seconds to start).
    for (int i = 0; i < 200 && Found == nullptr; i++) {
        if (WaitForSingleObject(process.hProcess, 100) != WAIT_TIMEOUT) {
            return;
        }
        EnumWindows(FindWindowOf, (LPARAM)process.dwProcessId);
    }
    if (Found == nullptr || WaitForSingleObject(process.hProcess, pause) != WAIT_TIMEOUT) {
        return;
    }
    PostMessageW(Found, WM_CLOSE, 0, 0);
    if (sessionEnds) {
        Sleep(200);
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(Found, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer);
        SendMessageTimeoutW(Found, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, &answer);
    }
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 2;
    }
    int pause = 0;
    bool closing = swscanf(argv[1], L"close:%d", &pause) == 1;
    bool sessionEnds = swscanf(argv[1], L"close-then-end-session:%d", &pause) == 1;
    HANDLE locked = INVALID_HANDLE_VALUE;
    OVERLAPPED whole = {};
    if (swscanf(argv[1], L"lock-history:%d", &pause) == 1) {
        locked = CreateFileW(L"history.csv", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
        LockFileEx(locked, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    }
    DWORD flags = wcscmp(argv[1], L"no-window") == 0   ? CREATE_NO_WINDOW
                  : wcscmp(argv[1], L"new-group") == 0 ? CREATE_NEW_PROCESS_GROUP
                                                       : 0;
    std::wstring line;
    for (int i = 2; i < argc; i++) {
        line += (i > 2 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup, &process)) {
        return 3;
    }
    if (closing || sessionEnds) {
        EndSession(process, (DWORD)pause, sessionEnds);
    }
    if (locked != INVALID_HANDLE_VALUE) {
        WaitForSingleObject(process.hProcess, (DWORD)pause);
        UnlockFileEx(locked, 0, MAXDWORD, MAXDWORD, &whole);
        CloseHandle(locked);
    }
    DWORD status = 99;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
    } else {
        GetExitCodeProcess(process.hProcess, &status);
    }
    return (int)status;
}
