#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifndef KOVI_SDK_DEFAULT_DIR
#error "KOVI_SDK_DEFAULT_DIR must name the directory the SDK library is installed in"
#endif

const char* const PlatformLibraryFileName = "/libKoviSDK.so";
const uint32_t PlatformPathTooLongError = ENAMETOOLONG;

void PlatformInit() {
#ifdef __linux__
    // The default timer slack of 50 us lets every pause run long; over
    // thousands of chunks that adds up to more than the operator asked for.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void PlatformConsoleWrite(const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t written = write(STDOUT_FILENO, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return; // console errors change nothing
        }
        bytes += written;
        count -= (size_t)written;
    }
}

size_t PlatformSystemDirectory(PathUnit* directory, size_t capacity, uint32_t* error) {
    const char* path = getenv("KOVI_SDK_DIR");
    if (path == nullptr || path[0] == '\0') {
        path = KOVI_SDK_DEFAULT_DIR;
    }
    // Only a full path: a relative one would load from the working directory,
    // where firmware files are unpacked.
    if (path[0] != '/') {
        *error = EINVAL;
        return 0;
    }
    size_t length = strlen(path);
    if (length + 1 > capacity) {
        *error = PlatformPathTooLongError;
        return 0;
    }
    for (size_t i = 0; i <= length; i++) {
        directory[i] = (unsigned char)path[i];
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

void PlatformLocalDate(int* day, int* month, int* year) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    *day = local.tm_mday;
    *month = local.tm_mon + 1;
    *year = local.tm_year + 1900;
}

void PlatformSleep(uint32_t milliseconds) {
    struct timespec pause;
    pause.tv_sec = milliseconds / 1000;
    pause.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

static int ReadByte() {
    unsigned char byte;
    ssize_t got;
    do {
        got = read(STDIN_FILENO, &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 ? byte : -1;
}

// The terminal settings to put back if a signal ends the process mid-read.
static struct termios SavedTerminal;

static void RestoreTerminalAndDie(int signalNumber) {
    tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

int PlatformReadKey() {
    struct termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        return ReadByte(); // not a terminal
    }
    SavedTerminal = saved;
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    void (*previous[4])(int);
    for (int i = 0; i < 4; i++) {
        previous[i] = signal(signals[i], RestoreTerminalAndDie);
    }
    struct termios raw = saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    int key = ReadByte();
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    for (int i = 0; i < 4; i++) {
        signal(signals[i], previous[i]);
    }
    return key;
}
