#include "sdk/library_path.h"

#include <cstring>

bool AppendToPath(PathUnit* path, size_t capacity, const char* suffix) {
    size_t length = 0;
    while (length < capacity && path[length] != 0) {
        length++;
    }
    size_t suffixLength = strlen(suffix);
    if (length >= capacity || suffixLength >= capacity - length) {
        return false;
    }
    for (size_t i = 0; i <= suffixLength; i++) {
        path[length + i] = (unsigned char)suffix[i];
    }
    return true;
}

// The maker's library, by the platform's naming: KoviSDK.dll, libKoviSDK.so.
static const char* const SdkLibraryBaseName = "KoviSDK";

uint32_t BuildLibraryPath(PathUnit path[LIBRARY_PATH_UNITS]) {
    memset(path, 0, LIBRARY_PATH_UNITS * sizeof path[0]);
    uint32_t error = 0;
    if (PlatformSystemDirectory(path, LIBRARY_PATH_UNITS, &error) == 0) {
        return error != 0 ? error : PlatformPathTooLongError;
    }
    if (!AppendToPath(path, LIBRARY_PATH_UNITS, PlatformLibraryPrefix) ||
        !AppendToPath(path, LIBRARY_PATH_UNITS, SdkLibraryBaseName) ||
        !AppendToPath(path, LIBRARY_PATH_UNITS, PlatformLibrarySuffix)) {
        return PlatformPathTooLongError;
    }
    return 0;
}

void PathToMessage(const PathUnit path[LIBRARY_PATH_UNITS], char* message) {
    size_t i = 0;
    for (; i < LIBRARY_PATH_UNITS && (path[i] & 0xFF) != 0; i++) {
        message[i] = (char)(path[i] & 0xFF);
    }
    message[i] = '\0';
}
