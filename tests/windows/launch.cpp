// Starts a program the way a line-control program or a service host does,
// for the tests under Wine: "launch no-window|new-group PROGRAM ARGS...".
// "launch close:MS" and "launch close-then-end-session:MS" tell the
// program's hidden window, MS milliseconds after it appeared, to close as
// taskkill without /F does, then the second also that the session ends.
// "launch taskkill:MS" runs Wine's taskkill /PID (without /F) instead;
// "launch kill:MS" ends the program MS milliseconds after its start, as
// taskkill /F does; "launch pipe-then-close:MS" gives it a standard input
// that stays open without a byte, then tells it to close as "close:MS".
// "launch end-session:MS" ends the session instead (its standard input held
// open as well), the answer to WM_QUERYENDSESSION noted in launch.log.
// "launch lock-history:MS" holds history.csv locked, as another run's
// append does, from before the start until MS milliseconds after it.
// Waits at most a minute, then ends it and exits with 99; otherwise exits
// with the program's status.
#include <windows.h>

#include <cstdio>
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

enum Closing { NOT_CLOSED, CLOSE, CLOSE_THEN_END_SESSION, TASKKILL, END_SESSION };

// What Windows sends the program's windows: a close (or Wine's own taskkill
// without /F, which sends it), then the session end.
static void TellToClose(const PROCESS_INFORMATION& process, DWORD pause, Closing how) {
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
    if (how == TASKKILL) {
        std::wstring line = L"taskkill.exe /PID " + std::to_wstring(process.dwProcessId);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION taskkill = {};
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &taskkill)) {
            WaitForSingleObject(taskkill.hProcess, 10000);
            CloseHandle(taskkill.hProcess);
            CloseHandle(taskkill.hThread);
        }
        return;
    }
    if (how == END_SESSION) { // Windows asks first; the answer goes to launch.log
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(Found, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 5000, &answer);
        FILE* log = _wfopen(L"launch.log", L"wb");
        fprintf(log, "launch, WM_QUERYENDSESSION answered %s\r\r\n", answer ? "TRUE" : "FALSE");
        fclose(log);
        SendMessageTimeoutW(Found, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 10000, &answer);
        return;
    }
    PostMessageW(Found, WM_CLOSE, 0, 0);
    if (how == CLOSE_THEN_END_SESSION) {
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
    Closing how = NOT_CLOSED;
    static const struct {
        const wchar_t* format;
        Closing how;
    } closings[] = {{L"close:%d", CLOSE},
                    {L"close-then-end-session:%d", CLOSE_THEN_END_SESSION},
                    {L"taskkill:%d", TASKKILL},
                    {L"end-session:%d", END_SESSION}};
    for (const auto& closing : closings) {
        how = swscanf(argv[1], closing.format, &pause) == 1 ? closing.how : how;
    }
    bool killing = swscanf(argv[1], L"kill:%d", &pause) == 1;
    bool pipeHeld = swscanf(argv[1], L"pipe-then-close:%d", &pause) == 1;
    how = pipeHeld ? CLOSE : how;
    pipeHeld = pipeHeld || how == END_SESSION;
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
    HANDLE pipeRead = nullptr, pipeWrite = nullptr;
    if (pipeHeld) { // standard input a pipe that stays open without a byte
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        CreatePipe(&pipeRead, &pipeWrite, &inherited, 0);
        SetHandleInformation(pipeWrite, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = pipeRead;
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                        &startup, &process)) {
        return 3;
    }
    if (how != NOT_CLOSED) {
        TellToClose(process, (DWORD)pause, how);
    }
    if (killing && WaitForSingleObject(process.hProcess, (DWORD)pause) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1); // as taskkill /F does
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
