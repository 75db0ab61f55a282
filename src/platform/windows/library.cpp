// The SDK library on Windows: from the system directory, by full path only.
#include "platform/platform.h"

#include <windows.h>

const char* const PlatformLibraryPrefix = "\\";
const char* const PlatformLibrarySuffix = ".dll";
const uint32_t PlatformPathTooLongError = ERROR_FILENAME_EXCED_RANGE;

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
