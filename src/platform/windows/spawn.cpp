// Starting another program on Windows: the station's workers and the
// publishing command.
#include <stdlib.h>

#include "platform/windows/windows_platform.h"

HANDLE OpenNul(DWORD access) {
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    return CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                       OPEN_EXISTING, 0, nullptr);
}

bool StartWithHandles(const wchar_t* program, wchar_t* line, HANDLE standard[3], DWORD flags,
                      PROCESS_INFORMATION* process) {
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = standard[0];
    startup.StartupInfo.hStdOutput = standard[1];
    startup.StartupInfo.hStdError = standard[2];
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    startup.lpAttributeList = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(malloc(size));
    bool listed = startup.lpAttributeList != nullptr &&
                  InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size);
    listed = listed && UpdateProcThreadAttribute(startup.lpAttributeList, 0,
                                                 PROC_THREAD_ATTRIBUTE_HANDLE_LIST, standard,
                                                 3 * sizeof(HANDLE), nullptr, nullptr);
    bool started = listed && CreateProcessW(program, line, nullptr, nullptr, TRUE,
                                            EXTENDED_STARTUPINFO_PRESENT | flags, nullptr, nullptr,
                                            &startup.StartupInfo, process);
    DWORD error = GetLastError();
    if (startup.lpAttributeList != nullptr) {
        DeleteProcThreadAttributeList(startup.lpAttributeList);
        free(startup.lpAttributeList);
    }
    SetLastError(error);
    return started;
}
