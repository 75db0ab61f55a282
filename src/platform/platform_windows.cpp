#include "platform/platform.h"

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

const char* const PlatformLibraryFileName = "\\KoviSDK.dll";
const uint32_t PlatformPathTooLongError = ERROR_FILENAME_EXCED_RANGE;

void PlatformInit() {
    // Firmware files are unpacked into the working directory; no library,
    // nor anything a library pulls in, may ever come from there.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Bytes reach the console exactly as written: no CR inserted before LF.
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, nullptr, _IONBF, 0);
}

void PlatformConsoleWrite(const char* bytes, size_t count) {
    fwrite(bytes, 1, count, stdout);
}

size_t PlatformSystemDirectory(PathUnit* directory, size_t capacity, uint32_t* error) {
    UINT length = GetSystemDirectoryW(reinterpret_cast<wchar_t*>(directory), (UINT)capacity);
    if (length == 0) {
        *error = GetLastError();
        return 0;
    }
    if (length >= capacity) { // the size it would need, not a result
        directory[0] = 0;
        *error = PlatformPathTooLongError;
        return 0;
    }
    return length;
}

void* PlatformLoadLibrary(const PathUnit* path, uint32_t* error) {
    HMODULE library =
        LoadLibraryExW(reinterpret_cast<const wchar_t*>(path), nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        *error = GetLastError();
        if (*error == 0) {
            *error = ERROR_MOD_NOT_FOUND;
        }
    }
    return reinterpret_cast<void*>(library);
}

void* PlatformFindSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void PlatformFreeLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

void PlatformLocalDate(int* day, int* month, int* year) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    *day = now.wDay;
    *month = now.wMonth;
    *year = now.wYear;
}

void PlatformSleep(uint32_t milliseconds) {
    Sleep(milliseconds);
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
