// The station's workers on Windows: this program again, in the station's
// console (Ctrl-C reaches it there), its JSON Lines read through a pipe.
#include "platform/platform.h"

#include <stdlib.h>
#include <string.h>

#include "platform/windows/windows_platform.h"

struct PlatformWorker {
    HANDLE process;
    DWORD id;
    HANDLE output;
};

enum { COMMAND_LINE_MAX = 32768 };

// One argument as CommandLineToArgvW and the C runtime read it back:
// quoted, a quote escaped, backslashes doubled only before a quote.
static bool AppendArgument(wchar_t* line, size_t* length, const char* argument) {
    wchar_t wide[COMMAND_LINE_MAX / 2];
    if (MultiByteToWideChar(CP_UTF8, 0, argument, -1, wide, COMMAND_LINE_MAX / 2) == 0) {
        return false;
    }
    size_t at = *length;
    auto put = [&](wchar_t c) {
        if (at + 2 < COMMAND_LINE_MAX) {
            line[at++] = c;
        }
    };
    put(L' ');
    put(L'"');
    size_t backslashes = 0;
    for (const wchar_t* c = wide; *c != L'\0'; c++) {
        if (*c == L'\\') {
            backslashes++;
            continue;
        }
        for (size_t i = 0; i < (*c == L'"' ? 2 * backslashes + 1 : backslashes); i++) {
            put(L'\\');
        }
        backslashes = 0;
        put(*c);
    }
    for (size_t i = 0; i < 2 * backslashes; i++) { // before the closing quote
        put(L'\\');
    }
    put(L'"');
    line[at] = L'\0';
    *length = at;
    return at + 2 < COMMAND_LINE_MAX;
}

PlatformWorker* PlatformStartWorker(const char* const* arguments, uint32_t* error) {
    static wchar_t program[COMMAND_LINE_MAX], line[COMMAND_LINE_MAX];
    DWORD programLength = GetModuleFileNameW(nullptr, program, COMMAND_LINE_MAX);
    size_t length = 0;
    bool fits = programLength > 0 && programLength < COMMAND_LINE_MAX &&
                _snwprintf(line, COMMAND_LINE_MAX, L"\"%ls\"", program) > 0;
    length = fits ? wcslen(line) : 0;
    for (; fits && *arguments != nullptr; arguments++) {
        fits = AppendArgument(line, &length, *arguments);
    }
    PlatformWorker* worker = static_cast<PlatformWorker*>(calloc(1, sizeof(PlatformWorker)));
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE writeEnd = nullptr;
    if (!fits || worker == nullptr || !CreatePipe(&worker->output, &writeEnd, &inherited, 0)) {
        *error = fits ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        free(worker);
        return nullptr;
    }
    SetHandleInformation(worker->output, HANDLE_FLAG_INHERIT, 0); // the station's end
    HANDLE standard[3] = {OpenNul(GENERIC_READ), writeEnd, OpenNul(GENERIC_WRITE)};
    PROCESS_INFORMATION process = {};
    bool started = StartWithHandles(program, line, standard, 0, &process);
    *error = started ? 0 : GetLastError();
    for (HANDLE handle : standard) {
        CloseHandle(handle);
    }
    if (!started) {
        CloseHandle(worker->output);
        free(worker);
        return nullptr;
    }
    CloseHandle(process.hThread);
    worker->process = process.hProcess;
    worker->id = process.dwProcessId;
    return worker;
}

long PlatformReadWorkers(PlatformWorker* const* workers, size_t count, uint32_t milliseconds,
                         bool checkEnds, char* buffer, size_t capacity, size_t* which) {
    // Anonymous pipes cannot be waited on: look at each, then wait a little,
    // for a stop too unless it came before.
    ULONGLONG deadline = GetTickCount64() + milliseconds;
    // (This process, as a handle, is signalled only once it has ended.)
    HANDLE stop = PlatformStopRequested() ? GetCurrentProcess() : StopEvent;
    for (;;) {
        bool check = checkEnds;
        checkEnds = false; // (once a call: the pool keeps the pace)
        for (size_t i = 0; i < count; i++) {
            // Its process may have ended while a program the SDK started
            // holds the pipe open: what is there, then its end.
            bool ended = check && WaitForSingleObject(workers[i]->process, 0) == WAIT_OBJECT_0;
            DWORD available = 0;
            bool open = PeekNamedPipe(workers[i]->output, nullptr, 0, nullptr, &available, nullptr);
            if (!open || available > 0 || ended) {
                DWORD got = 0;
                *which = i;
                if (!open || available == 0 ||
                    !ReadFile(workers[i]->output, buffer,
                              available < capacity ? available : (DWORD)capacity, &got, nullptr)) {
                    return 0; // the worker has ended
                }
                return (long)got;
            }
        }
        ULONGLONG now = GetTickCount64();
        DWORD step = deadline - now < 20 ? (DWORD)(deadline - now) : 20;
        if (now >= deadline || WaitForSingleObject(stop, step) != WAIT_TIMEOUT) {
            return -1;
        }
    }
}

static HWND FoundWindow;

static BOOL CALLBACK FindSessionWindow(HWND window, LPARAM processId) {
    DWORD owner = 0;
    wchar_t name[32];
    GetWindowThreadProcessId(window, &owner);
    if (owner == (DWORD)processId && GetClassNameW(window, name, 32) > 0 &&
        wcscmp(name, L"KestruneSession") == 0) {
        FoundWindow = window;
        return FALSE;
    }
    return TRUE;
}

bool PlatformStopWorker(PlatformWorker* worker) {
    // As taskkill without /F: the worker's hidden window takes it as a
    // stop that never ends it at once, even after the Ctrl-C it got itself.
    FoundWindow = nullptr;
    EnumWindows(FindSessionWindow, (LPARAM)worker->id);
    return FoundWindow != nullptr && PostMessageW(FoundWindow, WM_CLOSE, 0, 0);
}

int PlatformEndWorker(PlatformWorker* worker) {
    CloseHandle(worker->output);
    WaitForSingleObject(worker->process, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(worker->process, &status);
    CloseHandle(worker->process);
    free(worker);
    return (int)status;
}
