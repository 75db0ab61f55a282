// What the tool needs from the operating system. One implementation file per
// platform; CMake picks the one that is built.
#pragma once

#include <cstddef>
#include <cstdint>

// Called first thing in main: console output unbuffered and untranslated,
// standard descriptors that are surely there, and whatever the platform
// needs to load libraries safely.
void PlatformInit();

// Writes bytes to the console at once, without waiting for a line end.
void PlatformConsoleWrite(const char* bytes, size_t count);

// Library path units: UTF-16 on Windows, bytes widened to 16 bits elsewhere.
typedef uint16_t PathUnit;

// The directory the SDK library is loaded from, NUL-terminated, into at most
// capacity units. Returns its length, or 0 with *error set when it cannot be
// had or does not fit.
size_t PlatformSystemDirectory(PathUnit* directory, size_t capacity, uint32_t* error);

// The SDK library's file name with its leading separator ("\KoviSDK.dll").
extern const char* const PlatformLibraryFileName;

// The system's error code for a path that does not fit its buffer.
extern const uint32_t PlatformPathTooLongError;

// Loads a library by its full path only. Returns null with *error set (never
// 0) on failure.
void* PlatformLoadLibrary(const PathUnit* path, uint32_t* error);
void* PlatformFindSymbol(void* library, const char* name);
void PlatformFreeLibrary(void* library);

// Makes the resolved SDK entries callable the way the tool calls them. Where
// the SDK's calling convention cannot be known (32-bit Windows: __cdecl or
// __stdcall) each entry found is replaced by a stub that works with either.
struct SdkBinding;
void PlatformAdaptSdkCalls(SdkBinding* sdk);

void PlatformLocalDate(int* day, int* month, int* year);

// Pauses at least the given time; returns early once the operator has asked
// to stop.
void PlatformSleep(uint32_t milliseconds);

// One key from the console, without echo and without waiting for Enter; one
// byte when standard input is not a console. Keys typed before the question
// was on the screen do not count. -1 at end of input or on error.
int PlatformReadKey();

// From the operator's Y until the frontend is done: the machine does not go
// to sleep and the session is not ended under the flash, pauses are as long
// as asked, and a first Ctrl-C (or SIGTERM, SIGHUP) asks the run to stop in
// order instead of ending the process. A second one ends it at once.
void PlatformFlashBegins();
// Gives the machine back; a stop may still be asked for until the run ends.
void PlatformFlashEnds();
bool PlatformStopRequested();

// The SHA-256 of a file as 64 lower-case hex digits; false if it cannot be
// read.
bool PlatformFileSha256(const char* path, char hex[65]);

// Appends header (when the file is empty) and record to the file in a single
// write, creating the file if need be, and flushes it to the disk. Two
// processes appending at once never interleave their records on a local
// disk. Returns 0 or the system's error code.
uint32_t PlatformAppendRecord(const char* path, const char* header, const char* record);

enum { PLATFORM_RECORD_MAX = 4096 }; // header and record together

// The exit status of a run the operator stopped: 130 on POSIX,
// STATUS_CONTROL_C_EXIT on Windows.
extern const int PlatformStoppedExitStatus;
