// What the tool needs from the operating system. A folder per platform holds
// one file per section below (process, console, library, time, power,
// files); CMake picks the folder.
//
// Paths and texts: a "path" (const char*) is UTF-8 on Windows and the bytes
// the system takes elsewhere; a library path is in PathUnits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// --- Process (process.cpp, workers.cpp) -------------------------------------

// Called first thing in main: console output unbuffered and untranslated,
// standard descriptors that are surely there, libraries loaded safely, and
// the operator's stop taken in hand.
void PlatformInit();

// The command line as the tool reads it, in place of main's: unchanged on
// POSIX; on Windows split from the UTF-16 command line, each argument in the
// ANSI code page (as the SDK takes names).
void PlatformArguments(int* argc, char*** argv);

// The command-line argument at index as a path: unchanged on POSIX; on
// Windows the same argument of the same split, as UTF-8, so that no
// character outside the ANSI code page is lost. Lives as long as the
// process.
const char* PlatformFileArgument(int argc, char** argv, int index);

// From PlatformInit on, a first Ctrl-C (or SIGTERM, SIGHUP; on Windows also
// Ctrl-Break and closing the window) asks the run to stop in order instead
// of ending the process: the call in progress completes, a pause or the key
// read ends at once. A second one ends the process at once.
bool PlatformStopRequested();

// Takes the operator's stop in hand again, after an SDK call that may have
// changed how it is handled (a library that sets signal handlers, or calls
// AllocConsole or FreeConsole, which drops the console control handlers).
void PlatformRetakeStop();

// Registers what is said right before a second stop ends the process: on
// POSIX from a signal handler (inSignalHandler: async-signal-safe calls
// only), on Windows from the thread that took the stop. It must wait for
// nothing.
void PlatformOnSecondStop(void (*lastWords)(bool inSignalHandler));

// A station: from now on a second stop is only noted (PlatformSecondStopHeld),
// so that the station passes the first on to every running worker and
// writes the records it owes before it ends the process at once with
// PlatformEndForSecondStop (which says the last words, then gives the
// console and the JSON their grace). One that comes when nothing is left to
// stop changes nothing, up to the end of the process: the station's records
// and its exit status stand. A third stop ends the process at once.
void PlatformHoldSecondStop();
bool PlatformSecondStopHeld();
void PlatformEndForSecondStop();

// This run is a station's worker: it stops once, in order, whatever more
// stops come, and stops so as soon as its station is gone (killed, or ended
// at once by a second stop).
void PlatformServeStation();

// The exit status of a run the operator stopped: 130 on POSIX,
// STATUS_CONTROL_C_EXIT on Windows.
extern const int PlatformStoppedExitStatus;

// Another run of this program, started by a station to flash one frontend.
struct PlatformWorker;

// Starts this same program with arguments (UTF-8, those after the program's
// name, null-terminated), its standard output a pipe to the caller and its
// standard input and error nothing. A stop reaches it exactly once: on POSIX
// it has a process group of its own, so the terminal's Ctrl-C reaches it
// only through PlatformStopWorker; on Windows it shares the console's
// Ctrl-C, and a stop passed on besides never ends it at once. On Linux it
// gets a stop when the station is gone. Null on failure, with *error set.
// At most PLATFORM_WORKER_ARGUMENTS_MAX arguments.
enum { PLATFORM_WORKER_ARGUMENTS_MAX = 128 };
PlatformWorker* PlatformStartWorker(const char* const* arguments, uint32_t* error);

// Waits at most the given time, and not past a stop that comes meanwhile,
// for any of the workers to have output; reads what one has into buffer.
// Returns the count read, 0 when that worker has ended, -1 when none had
// anything. *which tells the worker. An end shows in the worker's pipe,
// unless a helper it left holds the pipe open: with checkEnds the processes
// themselves are asked too (a cost that grows with their number).
long PlatformReadWorkers(PlatformWorker* const* workers, size_t count, uint32_t milliseconds,
                         bool checkEnds, char* buffer, size_t capacity, size_t* which);

// Asks a worker to stop in order, as the operator's first stop does. False
// when it cannot be asked yet (a Windows worker before its window exists):
// ask again.
bool PlatformStopWorker(PlatformWorker* worker);

// Waits for a worker that has ended, frees it, and gives its exit status
// (128 + N after signal N on POSIX).
int PlatformEndWorker(PlatformWorker* worker);

// --- Console (console.cpp) --------------------------------------------------

// Writes bytes to the console, without waiting for a line end, in order,
// and never holds the caller while the console stands still: a thread of
// its own writes them, and everything is written before the process ends.
// Texts from outside the tool are in the system's narrow encoding (the ANSI
// code page on Windows).
void PlatformConsoleWrite(const char* bytes, size_t count);
// The same for a redraw (a bar drawn anew from a carriage return, and what
// follows it up to the next one): once the console has fallen far behind,
// a redraw still waiting is dropped for the next one.
void PlatformConsoleRedraw(const char* bytes, size_t count);
// Waits until everything given to the console is written.
void PlatformConsoleFlush();
// Whether lines already on the console can be drawn anew (a terminal, or a
// Windows console that takes virtual terminal sequences, switched on here):
// "ESC [ N A" moves up N lines, "ESC [ J" clears below.
bool PlatformConsoleRedrawsLines();
// The console window's size in rows and columns, read anew at each call;
// left as they are where it has none.
void PlatformConsoleSize(int* rows, int* columns);
// From now on the console is standard error: standard output carries
// something else, and what a library writes to standard output goes where
// the console goes.
void PlatformConsoleToStandardError();
// Writes bytes to standard output, unchanged and in order, through a thread
// of its own: a reader that stops reading never holds the caller. A
// replaceable piece (a whole line) is dropped for the next one while the
// reader is far behind. At the end of the process the reader gets at most
// five seconds to take what is left.
void PlatformStandardOutputWrite(const char* bytes, size_t count, bool replaceable);
// Waits until everything given to standard output is written.
void PlatformStandardOutputFlush();

// --- Publishing (publish.cpp) -------------------------------------------

// --publish: starts command through the system's shell (/bin/sh -c, or
// %ComSpec% /d /s /c) with a pipe on its standard input and nothing on its
// output, out of the console's stops: a process group of its own (POSIX),
// a new process group without Ctrl-C (Windows). False when it could not be
// started.
bool PlatformPublisherStart(const char* command);
// Bytes for its input, written in order by a thread of their own as
// standard output's are (see PlatformStandardOutputWrite): a command that
// stops reading never holds the caller. Nothing once it has ended.
void PlatformPublishWrite(const char* bytes, size_t count, bool replaceable);
// Whether the command has ended, with its exit status; never waits.
bool PlatformPublisherEnded(int* status);
// Everything given written and its input closed, for at most ms, then
// what is left of ms for it to end: false when it still runs (it is left
// running, its input open where a write stood still).
bool PlatformPublisherFinish(uint32_t ms, int* status);

// One key from the console, without echo and without waiting for Enter; one
// byte when standard input is not a console. Keys typed before the question
// was on the screen do not count. -1 at end of input, on error, or once a
// stop was asked for.
int PlatformReadKey();

// The run is driven by a program (--yes, --exit-status, --history and the
// like): nothing waits for a person at its end.
void PlatformRunIsUnattended();

// A text in the system's narrow encoding as UTF-8, into at most capacity
// bytes with its NUL: converted from the ANSI code page on Windows, copied
// unchanged elsewhere (where texts are taken to be UTF-8 already). Either
// may still need cleaning. False when it did not fit whole: out holds what
// did.
bool PlatformNarrowTextToUtf8(const char* text, char* out, size_t capacity);

// Whether utf8, given to a worker on its command line, reaches it as the
// narrow text it was made from, byte for byte. On Windows a name in the ANSI
// code page may not: invalid bytes, and characters the code page has twice
// (code page 932's NEC and IBM duplicates), come back as other bytes.
bool PlatformNameReachesWorker(const char* narrow, const char* utf8);

// How many of the first count bytes of a text in the system's narrow
// encoding end at a character's end: in a double-byte code page (932, 936,
// 949, 950) a lead byte is never parted from its trail byte. Elsewhere
// bytes are taken as they come: count.
size_t PlatformWholeCharacters(const char* text, size_t count);

// --- Library (library.cpp) --------------------------------------------------

// Library path units: UTF-16 on Windows, bytes widened to 16 bits elsewhere.
typedef uint16_t PathUnit;

// The directory trusted libraries are loaded from, NUL-terminated, into at
// most capacity units. Returns its length, or 0 with *error set when it
// cannot be had or does not fit; a directory refused as such is left in
// directory, so that the message can name it.
size_t PlatformSystemDirectory(PathUnit* directory, size_t capacity, uint32_t* error);

// What a library's file name has around its base name, the leading
// separator included: "\" and ".dll", or "/lib" and ".so".
extern const char* const PlatformLibraryPrefix;
extern const char* const PlatformLibrarySuffix;

// The system's error code for a path that does not fit its buffer.
extern const uint32_t PlatformPathTooLongError;

// Loads a library by its full path only. Returns null with *error set (never
// 0) on failure.
void* PlatformLoadLibrary(const PathUnit* path, uint32_t* error);
void* PlatformFindSymbol(void* library, const char* name);
void PlatformFreeLibrary(void* library);

// --- Time (time.cpp) --------------------------------------------------------

void PlatformLocalDate(int* day, int* month, int* year);

// Milliseconds from a fixed point in the past, never going back.
uint64_t PlatformMilliseconds();

// The same clock as the kernel keeps it, for the bounds that guard against
// a peer that stands still (a reader that takes nothing): nothing in the
// process, a library that speeds time up included, can make such a bound
// shorter than it says.
uint64_t PlatformKernelMilliseconds();

// Pauses at least the given time; returns early once the operator has asked
// to stop.
void PlatformSleep(uint32_t milliseconds);

// --- Power (power.cpp, power_*.cpp) -----------------------------------------

// From the operator's Y until the frontend is done: the machine does not go
// to sleep and the session is not ended under the flash, and pauses are as
// long as asked.
void PlatformFlashBegins();
// Gives the machine back.
void PlatformFlashEnds();

// --- Files (files.cpp) ------------------------------------------------------

// Opens a file at path for reading and writing ("r+b"), or for reading
// alone ("rb"), only if it is a regular file, without ever blocking on
// anything else (a FIFO, a device). A file that nobody may write is not
// opened for writing, not even with the rights to override that. Null with
// errno set on failure, EINVAL for a file that is not regular.
FILE* PlatformOpenRegularFile(const char* path, bool forWriting);

// Opens the log at path for writing ("wb"), creating it if need be, and
// empties it, but only once it is known to be a regular file that is none
// of protectedPaths (null-terminated) by identity, through any link; a file
// that is not there is never created through a link, nor under the name of
// a protected file. Never blocks. Null on failure.
FILE* PlatformOpenLogFile(const char* path, const char* const* protectedPaths);

// A temporary file for reading and writing ("w+b"), that no worker
// inherits and that is gone once it is closed or the process has ended.
// Null when none can be made.
FILE* PlatformOpenSpool();

// Writes bytes to the open file descriptor at once, as one write, with no
// buffer in between; safe in a signal handler. Errors change nothing.
void PlatformWriteAtOnce(int descriptor, const char* bytes, size_t count);

// SHA-256 in steps. Begin gives null when it is not available; Update and
// End take null and then do nothing, End returning false. End gives 64
// lower-case hex digits and frees the state.
struct PlatformSha256;
PlatformSha256* PlatformSha256Begin();
void PlatformSha256Update(PlatformSha256* hash, const uint8_t* bytes, size_t count);
bool PlatformSha256End(PlatformSha256* hash, char hex[65]);

// Whether an ECDSA P-256 signature (r, s) over a SHA-256 digest was made
// by the key whose public point is given (0x04, X, Y): the system's own
// cryptography (nettle on POSIX, CNG on Windows). False for a point not on
// the curve, or where the cryptography is not available.
bool PlatformVerifyP256(const uint8_t point[65], const uint8_t digest[32], const uint8_t r[32],
                        const uint8_t s[32]);

// A claim on a number among the processes that open the same file, by a
// lock on the byte at that offset (a station's workers claim the serial
// they flash, so that no two flash one unit): true once this process holds
// it, until the process ends; false when another process holds it, or with
// *error the system's when the file cannot be had. Never blocks.
bool PlatformClaimNumber(const char* path, uint32_t number, uint32_t* error);

// How long an append waits: not at all (a lock or a file held elsewhere is
// an error at once), or for the lock as long as another run holds it and,
// on Windows, for a file another program keeps open ten seconds, unless a
// stop comes, or those ten seconds whatever stops come (the record of a
// flashed frontend).
enum RecordWait { RECORD_NO_WAIT, RECORD_WAIT_UNTIL_STOP, RECORD_WAIT_WHATEVER_STOPS };

// The file an append goes to, as found under its lock: its first bytes (up
// to PLATFORM_HEAD_MAX) and whether its last byte is a line feed.
struct PlatformFoundFile {
    const char* head;
    size_t headCount;
    bool empty;
    bool endsInLineFeed; // or empty
};
enum { PLATFORM_HEAD_MAX = 1024, PLATFORM_APPEND_MAX = 8192 };

// Writes into out what is to be appended to the file found so; returns its
// length, or 0 when it does not fit in capacity.
typedef size_t (*PlatformComposeAppend)(const PlatformFoundFile& found, char* out, size_t capacity,
                                        const void* context);

// Appends what compose makes of the file to the file at path in a single
// write, creating it if need be (never through a link, nor as one of
// protectedPaths), and flushes it to the disk. The file is locked from the
// look at it to the end of the write, so that of two runs appending at once
// each sees the other's bytes whole; the lock is waited for as long as it
// is held (see RecordWait). A write that fails leaves the file as it was.
// Never blocks on a path that is not a regular file (the error is then the
// open's, or EINVAL/22). Writes nothing and returns PLATFORM_PROTECTED_FILE
// when the path is, by identity (through any link), one of protectedPaths
// (null-terminated). Returns 0 or the system's error code.
uint32_t PlatformAppendLocked(const char* path, const char* const* protectedPaths, RecordWait wait,
                              PlatformComposeAppend compose, const void* context);

enum : uint32_t { PLATFORM_PROTECTED_FILE = 0xFFFFFFFFu };

// This computer's name, as UTF-8 (empty when it has none to give).
void PlatformComputerName(char* out, size_t capacity);
