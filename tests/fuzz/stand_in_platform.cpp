#include "stand_in_platform.h"

#include "platform/platform.h"

void* (*StandInFindSymbol)(const char* name);
int StandInKey = 'Y';
size_t StandInConsoleBytes;
uint32_t StandInSleptMs;

const char* const PlatformLibraryPrefix = "/lib";
const char* const PlatformLibrarySuffix = ".so";
const uint32_t PlatformPathTooLongError = 36;

void PlatformInit() {}
void PlatformArguments(int*, char***) {}
void PlatformRetakeStop() {}

void PlatformConsoleWrite(const char*, size_t count) {
    StandInConsoleBytes += count;
}
void PlatformConsoleRedraw(const char*, size_t count) {
    StandInConsoleBytes += count;
}

size_t PlatformSystemDirectory(PathUnit* directory, size_t capacity, uint32_t* error) {
    static const char path[] = "/stand-in";
    if (sizeof path > capacity) {
        *error = PlatformPathTooLongError;
        return 0;
    }
    for (size_t i = 0; i < sizeof path; i++) {
        directory[i] = (unsigned char)path[i];
    }
    return sizeof path - 1;
}

void* PlatformLoadLibrary(const PathUnit*, uint32_t*) {
    static int library;
    return &library;
}

void* PlatformFindSymbol(void*, const char* name) {
    return StandInFindSymbol ? StandInFindSymbol(name) : nullptr;
}

void PlatformFreeLibrary(void*) {}

void PlatformLocalDate(int* day, int* month, int* year) {
    *day = 7;
    *month = 12;
    *year = 2026;
}

const int PlatformStoppedExitStatus = 130;

void PlatformConsoleToStandardError() {}
void PlatformRunIsUnattended() {}
void PlatformStandardOutputWrite(const char*, size_t, bool) {}
void PlatformStandardOutputFlush() {}
bool PlatformPublisherStart(const char*) {
    return false;
}
void PlatformPublishWrite(const char*, size_t, bool) {}
bool PlatformPublisherEnded(int*) {
    return true;
}
bool PlatformPublisherFinish(uint32_t, int*) {
    return true;
}
void PlatformHoldSecondStop() {}
bool PlatformSecondStopHeld() {
    return false;
}
void PlatformEndForSecondStop() {}
uint64_t PlatformKernelMilliseconds() {
    return 0;
}
bool PlatformNameReachesWorker(const char*, const char*) {
    return true;
}
void PlatformServeStation() {}
uint64_t PlatformMilliseconds() {
    return 0;
}

FILE* PlatformOpenRegularFile(const char* path, bool forWriting) {
    return fopen(path, forWriting ? "r+b" : "rb");
}

FILE* PlatformOpenLogFile(const char* path, const char* const*) {
    return fopen(path, "wb");
}

PlatformSha256* PlatformSha256Begin() {
    return nullptr;
}
void PlatformSha256Update(PlatformSha256*, const uint8_t*, size_t) {}
bool PlatformSha256End(PlatformSha256*, char*) {
    return false;
}

void PlatformOnSecondStop(void (*)(bool)) {}
void PlatformWriteAtOnce(int, const char*, size_t) {}

uint32_t PlatformAppendLocked(const char*, const char* const*, RecordWait, PlatformComposeAppend,
                              const void*) {
    return 0;
}
bool PlatformClaimNumber(const char*, uint32_t, uint32_t*) {
    return true;
}
bool PlatformVerifyP256(const uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*) {
    return false;
}
void PlatformComputerName(char* out, size_t) {
    out[0] = '\0';
}

size_t PlatformWholeCharacters(const char*, size_t count) {
    return count;
}
bool PlatformNarrowTextToUtf8(const char* text, char* out, size_t capacity) {
    return (size_t)snprintf(out, capacity, "%s", text) < capacity;
}
void PlatformFlashBegins() {}
void PlatformFlashEnds() {}
bool PlatformStopRequested() {
    return false;
}

void PlatformSleep(uint32_t milliseconds) {
    StandInSleptMs += milliseconds;
}

int PlatformReadKey() {
    return StandInKey;
}

const char* PlatformFileArgument(int, char** argv, int index) {
    return argv[index];
}

void PlatformConsoleSize(int*, int*) {}

FILE* PlatformOpenSpool() {
    return nullptr;
}

bool PlatformConsoleRedrawsLines() {
    return false;
}
PlatformWorker* PlatformStartWorker(const char* const*, uint32_t* error) {
    *error = 1;
    return nullptr;
}
long PlatformReadWorkers(PlatformWorker* const*, size_t, uint32_t, bool, char*, size_t, size_t*) {
    return -1;
}
bool PlatformStopWorker(PlatformWorker*) {
    return true;
}
int PlatformEndWorker(PlatformWorker*) {
    return 1;
}
