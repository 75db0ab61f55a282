// The console on Windows: output as written, one key without echo, and a
// window that neither freezes the flash nor closes with the outcome on it.
#include "platform/platform.h"

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "platform/console_backlog.h"
#include "platform/windows/console_mode.h"
#include "platform/windows/windows_platform.h"

static HANDLE Input;
// The console's own input buffer, whatever standard input is.
static HANDLE ConsoleInput = INVALID_HANDLE_VALUE;
static DWORD SavedInputMode;
static bool InputModeSaved;
static HANDLE ConsoleOutput;
static FILE* ConsoleStream = stdout;

// How many of the first count bytes end on a character's end: in a
// double-byte code page (932, 936, 949, 950) a lead byte is never parted
// from its trail byte, which could not be told from a lead byte on its own.
static int WholeCharacters(const char* bytes, int count) {
    int end = 0;
    while (end < count) {
        int size = IsDBCSLeadByteEx(CP_ACP, (BYTE)bytes[end]) ? 2 : 1;
        if (end + size > count) {
            break;
        }
        end += size;
    }
    return end > 0 ? end : count; // a lone lead byte at the very end
}

static void WriteNow(const char* bytes, size_t count) {
    if (ConsoleOutput == nullptr) { // a file or a pipe: the bytes as they are
        fwrite(bytes, 1, count, ConsoleStream);
        return;
    }
    // SDK texts are in the ANSI code page, the console shows another (OEM):
    // through UTF-16 every character arrives as itself. The tool's own
    // texts are ASCII.
    wchar_t wide[1024];
    while (count > 0) {
        int piece = WholeCharacters(bytes, count < 1024 ? (int)count : 1024);
        int units = MultiByteToWideChar(CP_ACP, 0, bytes, piece, wide, 1024);
        DWORD written;
        if (units <= 0 || !WriteConsoleW(ConsoleOutput, wide, (DWORD)units, &written, nullptr)) {
            return; // console errors change nothing
        }
        bytes += piece;
        count -= (size_t)piece;
    }
}

// The console is written by a thread of its own (see console_backlog.h).
static CRITICAL_SECTION Lock;
static CONDITION_VARIABLE Added, AllWritten;
static ConsoleBacklog Backlog, Writing;
static bool Busy;   // the writer has bytes in hand
static bool Ending; // the process is ending: write what is left, then end
static HANDLE WriterThread;
static enum { WRITER_NOT_STARTED, WRITER_RUNS, WRITER_FAILED } Writer;

static DWORD WINAPI WriteConsole(LPVOID) {
    EnterCriticalSection(&Lock);
    for (;;) {
        while (Backlog.count == 0) {
            Busy = false;
            WakeAllConditionVariable(&AllWritten);
            if (Ending) {
                LeaveCriticalSection(&Lock);
                return 0;
            }
            SleepConditionVariableCS(&Added, &Lock, INFINITE);
        }
        Busy = true;
        ConsoleBacklogTake(&Backlog, &Writing);
        LeaveCriticalSection(&Lock);
        WriteNow(Writing.bytes, Writing.count);
        EnterCriticalSection(&Lock);
    }
}

void PlatformConsoleFlush() {
    if (Writer != WRITER_RUNS) {
        return;
    }
    EnterCriticalSection(&Lock);
    while (Backlog.count > 0 || Busy) {
        SleepConditionVariableCS(&AllWritten, &Lock, INFINITE);
    }
    LeaveCriticalSection(&Lock);
}

void ConsoleEndWriter() {
    if (Writer != WRITER_RUNS) {
        return;
    }
    EnterCriticalSection(&Lock);
    Ending = true;
    WakeConditionVariable(&Added);
    LeaveCriticalSection(&Lock);
    WaitForSingleObject(WriterThread, INFINITE);
    CloseHandle(WriterThread);
    Writer = WRITER_FAILED; // anything said later goes straight out
}

static bool StartWriter() {
    if (Writer == WRITER_NOT_STARTED) {
        InitializeCriticalSection(&Lock);
        InitializeConditionVariable(&Added);
        InitializeConditionVariable(&AllWritten);
        WriterThread = CreateThread(nullptr, 0, WriteConsole, nullptr, 0, nullptr);
        Writer = WriterThread != nullptr ? WRITER_RUNS : WRITER_FAILED;
    }
    return Writer == WRITER_RUNS;
}

static void Queue(const char* bytes, size_t count, bool redraw) {
    if (StartWriter()) {
        EnterCriticalSection(&Lock);
        bool added = ConsoleBacklogAdd(&Backlog, bytes, count, redraw);
        WakeConditionVariable(&Added);
        LeaveCriticalSection(&Lock);
        if (added) {
            return;
        }
        PlatformConsoleFlush(); // out of memory: the old way, in order
    }
    WriteNow(bytes, count);
}

void PlatformConsoleWrite(const char* bytes, size_t count) {
    Queue(bytes, count, false);
}

void PlatformConsoleRedraw(const char* bytes, size_t count) {
    Queue(bytes, count, true);
}

static bool IsConsole(HANDLE handle) {
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

void PlatformConsoleToStandardError() {
    PlatformConsoleFlush();
    _setmode(_fileno(stderr), _O_BINARY);
    ConsoleStream = stderr;
    HANDLE output = GetStdHandle(STD_ERROR_HANDLE);
    ConsoleOutput = IsConsole(output) ? output : nullptr;
}

void PlatformStandardOutputWrite(const char* bytes, size_t count) {
    fwrite(bytes, 1, count, stdout); // unbuffered and binary since PlatformInit
}

void ConsoleSetUp() {
    // With QuickEdit on, one click in the window starts a selection, and
    // every console write (the bar, the minute display) blocks until it
    // ends: the flash would stand still for as long as the operator is away.
    // That holds also when standard input is a pipe (echo Y| Kestrune).
    Input = GetStdHandle(STD_INPUT_HANDLE);
    ConsoleInput =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (IsConsole(ConsoleInput) && GetConsoleMode(ConsoleInput, &SavedInputMode)) {
        InputModeSaved = true;
        SetConsoleMode(ConsoleInput, ConsoleModeWithoutQuickEdit(SavedInputMode));
    }
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    ConsoleOutput = IsConsole(output) ? output : nullptr;
}

static DWORD SavedOutputMode;
static bool OutputModeSaved;

bool PlatformConsoleRedrawsLines() {
    DWORD mode;
    if (ConsoleOutput == nullptr || !GetConsoleMode(ConsoleOutput, &mode)) {
        return false;
    }
    if (!OutputModeSaved) {
        SavedOutputMode = mode;
        OutputModeSaved = true;
    }
    return SetConsoleMode(ConsoleOutput, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void ConsoleRestore() {
    if (OutputModeSaved) {
        SetConsoleMode(ConsoleOutput, SavedOutputMode);
        OutputModeSaved = false;
    }
    if (InputModeSaved) {
        SetConsoleMode(ConsoleInput, ConsoleModeRestored(SavedInputMode));
        InputModeSaved = false;
    }
}

static bool Unattended;

void PlatformRunIsUnattended() {
    Unattended = true;
}

// One key typed at the console from now on, or -1 once a stop is asked for.
static int WaitForKey(HANDLE input) {
    FlushConsoleInputBuffer(input);
    HANDLE waits[2] = {StopEvent, input};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        if (_kbhit()) {
            return _getch();
        }
        // Only other events (focus, mouse, size), which _kbhit leaves
        // there: the wait would never block again.
        FlushConsoleInputBuffer(input);
    }
    return -1;
}

void ConsoleHoldWindowOpen() {
    // Only where a person can answer: a console window on the screen, and a
    // run no program drives. A host that starts the tool without a window
    // (CREATE_NO_WINDOW, a scheduled task, a service) would wait forever.
    DWORD processes[2];
    HWND window = GetConsoleWindow();
    if (Unattended || window == nullptr || !IsWindowVisible(window) || !IsConsole(Input) ||
        !IsConsole(GetStdHandle(STD_OUTPUT_HANDLE)) || GetConsoleProcessList(processes, 2) != 1) {
        return; // a command prompt, a script, redirected output, or nobody there
    }
    static const char prompt[] = "Press any key to close this window";
    PlatformConsoleWrite(prompt, sizeof prompt - 1);
    WaitForKey(Input);
}

// One byte from a pipe, or -1 at its end or once a stop is asked for: a
// pipe that stays open without a byte must not hold the stop.
static int ReadPipeByte(HANDLE input) {
    for (;;) {
        DWORD available = 0;
        // A writer that is gone may have left bytes behind: ReadFile gives
        // them, or the end.
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
            unsigned char byte;
            DWORD got = 0;
            return ReadFile(input, &byte, 1, &got, nullptr) && got == 1 ? byte : -1;
        }
        if (WaitForSingleObject(StopEvent, 50) == WAIT_OBJECT_0) {
            return -1;
        }
    }
}

int PlatformReadKey() {
    PlatformConsoleFlush(); // the question is on the screen before a key counts
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (IsConsole(input)) {
        // A key typed while the checks were still running does not answer
        // the question; on a pipe, where scripts give the Y, nothing is
        // discarded. A stop is an answer too: wait for either.
        return WaitForKey(input);
    }
    if (input == INVALID_HANDLE_VALUE || input == nullptr) {
        return -1;
    }
    if (GetFileType(input) == FILE_TYPE_PIPE) {
        return ReadPipeByte(input);
    }
    // A file: take one byte; its end is no key.
    unsigned char byte;
    DWORD got = 0;
    return ReadFile(input, &byte, 1, &got, nullptr) && got == 1 ? byte : -1;
}
