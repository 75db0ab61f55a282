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

void ConsoleWriteNow(const char* bytes, size_t count) {
    if (ConsoleOutput == nullptr) { // a file or a pipe: the bytes as they are
        fwrite(bytes, 1, count, ConsoleStream);
        return;
    }
    // SDK texts are in the ANSI code page, the console shows another (OEM):
    // through UTF-16 every character arrives as itself. The tool's own
    // texts are ASCII.
    wchar_t wide[1024];
    while (count > 0) {
        // (A lone lead byte at the very end goes as it is.)
        size_t whole = PlatformWholeCharacters(bytes, count < 1024 ? count : 1024);
        int piece = whole > 0 ? (int)whole : (int)(count < 1024 ? count : 1024);
        int units = MultiByteToWideChar(CP_ACP, 0, bytes, piece, wide, 1024);
        DWORD written;
        if (units <= 0 || !WriteConsoleW(ConsoleOutput, wide, (DWORD)units, &written, nullptr)) {
            return; // console errors change nothing
        }
        bytes += piece;
        count -= (size_t)piece;
    }
}

// The JSON's own handle to standard output, which no child inherits.
static HANDLE JsonOutput = INVALID_HANDLE_VALUE;

void JsonWriteNow(const char* bytes, size_t count) {
    HANDLE output =
        JsonOutput != INVALID_HANDLE_VALUE ? JsonOutput : GetStdHandle(STD_OUTPUT_HANDLE);
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(output, bytes, count < 65536 ? (DWORD)count : 65536, &written, nullptr) ||
            written == 0) {
            return; // a reader that is gone changes nothing
        }
        bytes += written;
        count -= written;
    }
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
    // The JSON keeps standard output to itself, on a handle no child
    // inherits: what the SDK (or a program it starts) writes to standard
    // output goes where the console goes.
    HANDLE json = INVALID_HANDLE_VALUE;
    if (DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(),
                        &json, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        JsonOutput = json;
        fflush(stdout);
        _dup2(_fileno(stderr), _fileno(stdout));
        SetStdHandle(STD_OUTPUT_HANDLE, output);
    }
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

void PlatformConsoleSize(int* rows, int* columns) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (ConsoleOutput != nullptr && GetConsoleScreenBufferInfo(ConsoleOutput, &info)) {
        *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
        *columns = info.srWindow.Right - info.srWindow.Left + 1;
    }
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

// One byte read by a thread of its own, or -1 at the end of input or once
// a stop is asked for: a pipe that stays open without a byte, or one that
// cannot be looked into, must not hold the stop.
struct ByteRead {
    HANDLE input;
    int byte;
};

static DWORD WINAPI ReadOneByte(LPVOID context) {
    ByteRead* read = static_cast<ByteRead*>(context);
    unsigned char byte;
    DWORD got = 0;
    read->byte = ReadFile(read->input, &byte, 1, &got, nullptr) && got == 1 ? byte : -1;
    return 0;
}

static int ReadByteUntilStop(HANDLE input) {
    static ByteRead read; // outlives a reader that a stop leaves blocked
    read = {input, -1};
    HANDLE thread = CreateThread(nullptr, 0, ReadOneByte, &read, 0, nullptr);
    if (thread == nullptr) {
        ReadOneByte(&read);
        return read.byte;
    }
    HANDLE waits[2] = {StopEvent, thread};
    bool stopped = WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
    if (stopped) {
        CancelSynchronousIo(thread);
        WaitForSingleObject(thread, 1000);
    }
    CloseHandle(thread);
    return stopped ? -1 : read.byte;
}

int PlatformReadKey() {
    PlatformConsoleFlush(); // the question is on the screen before a key counts
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (IsConsole(input) && GetConsoleWindow() == nullptr) {
        return -1; // a console without a window (CREATE_NO_WINDOW): nobody can type
    }
    if (IsConsole(input)) {
        // A key typed while the checks were still running does not answer
        // the question; on a pipe, where scripts give the Y, nothing is
        // discarded. A stop is an answer too: wait for either.
        return WaitForKey(input);
    }
    if (input == INVALID_HANDLE_VALUE || input == nullptr) {
        return -1;
    }
    // A pipe or a file: take one byte; its end is no key.
    return ReadByteUntilStop(input);
}
