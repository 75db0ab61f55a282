// The console on Windows: output as written, one key without echo.
#include "platform/platform.h"

#include <conio.h>
#include <stdio.h>
#include <windows.h>

void PlatformConsoleWrite(const char* bytes, size_t count) {
    fwrite(bytes, 1, count, stdout);
}

int PlatformReadKey() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (input != INVALID_HANDLE_VALUE && input != nullptr && GetConsoleMode(input, &mode)) {
        return _getch();
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
