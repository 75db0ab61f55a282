// The SDK library on POSIX systems: from a fixed directory, by full path only.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>

#ifndef KOVI_SDK_DEFAULT_DIR
#error "KOVI_SDK_DEFAULT_DIR must name the directory the SDK library is installed in"
#endif

const char* const PlatformLibraryPrefix = "/lib";
const char* const PlatformLibrarySuffix = ".so";
const uint32_t PlatformPathTooLongError = ENAMETOOLONG;

size_t PlatformSystemDirectory(PathUnit* directory, size_t capacity, uint32_t* error) {
    const char* path = getenv("KOVI_SDK_DIR");
    if (path == nullptr || path[0] == '\0') {
        path = KOVI_SDK_DEFAULT_DIR;
    }
    size_t length = strlen(path);
    if (length + 1 > capacity) {
        *error = PlatformPathTooLongError;
        return 0;
    }
    for (size_t i = 0; i <= length; i++) {
        directory[i] = (unsigned char)path[i];
    }
    // Only a full path: a relative one would load from the working directory,
    // where firmware files are unpacked. (It stays in directory for the
    // message that names it.)
    if (path[0] != '/') {
        *error = EINVAL;
        return 0;
    }
    return length;
}

void* PlatformLoadLibrary(const PathUnit* path, uint32_t* error) {
    char bytes[4096];
    size_t length = 0;
    while (path[length] != 0 && length + 1 < sizeof bytes) {
        bytes[length] = (char)path[length];
        length++;
    }
    bytes[length] = '\0';

    // dlopen has no error number; find a true one for the common causes.
    struct stat info;
    if (stat(bytes, &info) != 0) {
        *error = (uint32_t)errno;
        return nullptr;
    }
    if (S_ISDIR(info.st_mode)) {
        *error = EISDIR;
        return nullptr;
    }
    void* library = dlopen(bytes, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        *error = ENOEXEC; // there, but not a library we can load
    }
    return library;
}

void* PlatformFindSymbol(void* library, const char* name) {
    return dlsym(library, name);
}

void PlatformFreeLibrary(void* library) {
    dlclose(library);
}
