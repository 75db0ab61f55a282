// The console on Windows: output as written, one key without echo, and a
// window that neither freezes the flash nor closes with the outcome on it.
#include "platform/platform.h"

#include <conio.h>
#include <stdio.h>

#include "platform/windows/windows_platform.h"

static HANDLE Input;
static DWORD SavedInputMode;
static bool InputModeSaved;

void PlatformConsoleWrite(const char* bytes, size_t count) {
    fwrite(bytes, 1, count, stdout);
}

static bool IsConsole(HANDLE handle) {
    DWORD mode;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

void ConsoleSetUp() {
    // With QuickEdit on, one click in the window starts a selection, and
    // every console write (the bar, the minute display) blocks until it
    // ends: the flash would stand still for as long as the operator is away.
    Input = GetStdHandle(STD_INPUT_HANDLE);
    if (IsConsole(Input) && GetConsoleMode(Input, &SavedInputMode)) {
        InputModeSaved = true;
        SetConsoleMode(Input, (SavedInputMode | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE);
    }
}

void ConsoleRestore() {
    if (InputModeSaved) {
        SetConsoleMode(Input, SavedInputMode);
        InputModeSaved = false;
    }
}

void ConsoleHoldWindowOpen() {
    DWORD processes[2];
    if (!IsConsole(Input) || !IsConsole(GetStdHandle(STD_OUTPUT_HANDLE)) ||
        GetConsoleProcessList(processes, 2) != 1) {
        return; // a command prompt, a script or redirected output
    }
    static const char prompt[] = "Press any key to close this window";
    PlatformConsoleWrite(prompt, sizeof prompt - 1);
    FlushConsoleInputBuffer(Input);
    _getch();
}

int PlatformReadKey() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (IsConsole(input)) {
        // A key typed while the checks were still running does not answer
        // the question; on a pipe, where scripts give the Y, nothing is
        // discarded. A stop is an answer too: wait for either.
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
    // Not a console (a pipe or a file): take one byte; end of input is no key.
    unsigned char byte;
    DWORD got = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr ||
        !ReadFile(input, &byte, 1, &got, nullptr) || got != 1) {
        return -1;
    }
    return byte;
}
