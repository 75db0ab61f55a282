// --publish on Windows: the operator's command through %ComSpec% /d /s /c,
// fed through a pipe, in a process group of its own, where a console's
// Ctrl-C never reaches it: the station ends in order, then closes the pipe.
#include "platform/platform.h"

#include <wchar.h>

#include "platform/console_backlog.h"
#include "platform/windows/windows_platform.h"

enum { COMMAND_LINE_MAX = 32768 };

static HANDLE Publisher;      // its process, or null
static HANDLE PublisherInput; // the pipe's end the station writes, or null
static bool InputBroken;      // a write failed: the command stopped reading

// The shell: %ComSpec%, or cmd.exe from the system directory.
static bool FindShell(wchar_t shell[MAX_PATH]) {
    DWORD found = GetEnvironmentVariableW(L"ComSpec", shell, MAX_PATH);
    if (found > 0 && found < MAX_PATH) {
        return true;
    }
    UINT length = GetSystemDirectoryW(shell, MAX_PATH);
    return length > 0 && length < MAX_PATH &&
           _snwprintf(shell + length, MAX_PATH - length, L"\\cmd.exe") > 0;
}

// "SHELL" /d /s /c "COMMAND": /s takes the command between the outer
// quotes as it is, whatever quotes it holds itself.
static bool CommandLine(const wchar_t* shell, const char* command, wchar_t* line) {
    int used = _snwprintf(line, COMMAND_LINE_MAX, L"\"%ls\" /d /s /c \"", shell);
    if (used <= 0) {
        return false;
    }
    int units = MultiByteToWideChar(CP_ACP, 0, command, -1, line + used,
                                    COMMAND_LINE_MAX - used - 1); // room for the last quote
    if (units <= 0) {
        return false;
    }
    size_t end = (size_t)used + (size_t)units - 1;
    line[end] = L'"';
    line[end + 1] = L'\0';
    return true;
}

bool PlatformPublisherStart(const char* command) {
    static wchar_t shell[MAX_PATH], line[COMMAND_LINE_MAX];
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!FindShell(shell) || !CommandLine(shell, command, line) ||
        !CreatePipe(&readEnd, &writeEnd, &inherited, 0)) {
        return false;
    }
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE standard[3] = {readEnd, OpenNul(GENERIC_WRITE), OpenNul(GENERIC_WRITE)};
    PROCESS_INFORMATION process = {};
    bool started = standard[1] != INVALID_HANDLE_VALUE && standard[2] != INVALID_HANDLE_VALUE &&
                   StartWithHandles(shell, line, standard, CREATE_NEW_PROCESS_GROUP, &process);
    DWORD error = GetLastError();
    for (HANDLE handle : standard) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    if (!started) {
        CloseHandle(writeEnd);
        SetLastError(error);
        return false;
    }
    CloseHandle(process.hThread);
    Publisher = process.hProcess;
    PublisherInput = writeEnd;
    return true;
}

// On the writer's thread; once a write fails nothing more is tried.
void PublishWriteNow(const char* bytes, size_t count) {
    while (count > 0 && PublisherInput != nullptr && !InputBroken) {
        DWORD written = 0;
        DWORD piece = count > 0x10000000 ? 0x10000000 : (DWORD)count;
        if (!WriteFile(PublisherInput, bytes, piece, &written, nullptr) || written == 0) {
            InputBroken = true;
            return;
        }
        bytes += written;
        count -= written;
    }
}

bool PlatformPublisherEnded(int* status) {
    DWORD code = 0;
    if (Publisher == nullptr || WaitForSingleObject(Publisher, 0) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(Publisher, &code)) {
        return false;
    }
    *status = (int)code;
    return true;
}

bool PlatformPublisherFinish(uint32_t ms, int* status) {
    uint64_t deadline = PlatformKernelMilliseconds() + ms;
    if (ConsoleEndPublishWriter(ms) && PublisherInput != nullptr) {
        CloseHandle(PublisherInput); // the end of its input: the command ends
        PublisherInput = nullptr;
    }
    uint64_t now = PlatformKernelMilliseconds();
    if (Publisher != nullptr && now < deadline) {
        WaitForSingleObject(Publisher, (DWORD)(deadline - now));
    }
    return PlatformPublisherEnded(status);
}
