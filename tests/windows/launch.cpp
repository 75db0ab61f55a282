// Starts a program the way a line-control program or a service host does,
// for the tests under Wine: "launch no-window|new-group PROGRAM ARGS...".
// Waits at most a minute, then ends it and exits with 99; otherwise exits
// with the program's status.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        return 2;
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
    DWORD status = 99;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
    } else {
        GetExitCodeProcess(process.hProcess, &status);
    }
    return (int)status;
}
