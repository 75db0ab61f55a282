// The command line: the transport and the pause the operator gives, and the
// options for scripted use and production lines, anywhere among them (each
// changes nothing unless it is given).
#pragma once

#include <cstddef>
#include <cstdint>

#include "flash/image_signature.h"
#include "flash/phases.h"

struct Transport {
    char letter;
    const char* message;
    int32_t code;
};

// The transport chosen by the first character of the argument, or null.
const Transport* TransportFor(const char* argument);

// Reads a wait time the way atoi does (leading white space, optional sign,
// leading digits; no digits is 0). False for a negative value or one that
// does not fit in 32 bits.
bool ParseWaitTime(const char* text, uint32_t* waitTime);

enum { DEFAULT_WAIT_TIME = 100 };

// A file named on the command line: the argument, and where it stands in
// argv (0 for a default), so that the platform can give it back as a path;
// file is that path, as the file functions take it (see ResolveFiles).
struct FileArgument {
    const char* path;
    int index;
    const char* file;
};

enum { IMAGE_OPTIONS_MAX = FLASH_IMAGES_MAX };

struct Options {
    bool exitStatus;                        // --exit-status: the exit status tells the outcome
    FileArgument history;                   // --history FILE: append a record of the run
    const char* device;                     // --device NAME: flash the frontend of that name
    bool list;                              // --list: list the frontends, flash nothing
    FileArgument info;                      // --info [FILE]: describe an image, no SDK, no log
    bool yes;                               // --yes: the question is answered Y
    bool allowOlder;                        // --allow-older: with --yes, an older image too
    bool help;                              // --help
    bool version;                           // --version
    FileArgument images[IMAGE_OPTIONS_MAX]; // --image FILE, up to 32 times: the images
    int32_t imageCount;                     // instead of kovi_firmware.bin
    FileArgument keys[IMAGE_OPTIONS_MAX];   // --key FILE, up to KEYS_MAX times: the keys
    int32_t keyCount;                       // an image must be signed by
    FileArgument log;                       // --log FILE: the log instead of kovi_kestrune.log
    bool json;                              // --json: JSON Lines on standard output
    bool expectSerialSet;                   // --expect-serial N: only the frontend with serial N
    int32_t expectSerial;
    bool skipCurrent;          // --skip-current: a frontend that runs the image's
                               // version is not flashed
    bool all;                  // --all: every frontend listed, each by a worker
    int32_t maxParallel;       // --max-parallel N: at most N workers at once, 0 for all
    FileArgument stationLog;   // --station-log FILE: a station's worker, the station's log
    const char* stationImages; // --station-images: a worker, the SHA-256 its station read
    int32_t stationUnit;       // --station-unit N: a worker, its unit's number for its record
    int32_t verifyMinutes;     // --verify MINUTES: after SUCCESS, wait for the new version
    int32_t retries;           // --retries N: a failure that may pass, tried again N times
    bool watch;                // --watch: a station that flashes each frontend as it arrives
    int32_t count;             // --count N: with --watch, end after N units flashed
    int32_t maxFailures;       // --max-failures N: with --watch, end after N failures in a row
    const char* publish;       // --publish COMMAND: the JSON Lines fed to COMMAND
    const char* station;       // --station NAME: the station's name in events and records
    // The first two arguments that are no option.
    const char* transport;
    const char* waitTime;
};

// Reads the command line: options anywhere, "--" alone ends them. False on
// an error, with the message to log in message; the rest is read all the
// same, so that --help and --version are seen wherever they stand.
bool ParseOptions(int argc, char** argv, Options* options, char* message, size_t capacity);

// Fills in each file argument's file: pathOf(argc, argv, index) gives the
// argument as a path (the platform's PlatformFileArgument).
void ResolveFiles(Options* options, int argc, char** argv,
                  const char* (*pathOf)(int argc, char** argv, int index));

// Whether an option asks for a run that a program drives, not a person.
bool MachineRun(const Options& options);

// What an option does in a station (--all): every option has one, so that
// none is ever dropped on the way to the workers.
enum StationRole {
    ROLE_MISSING,     // none given: a fault (the option table's test finds it)
    PASSED_ON,        // every worker gets it as given
    STATION_OWN,      // the station's alone; each worker gets what the station sets
    REFUSED_WITH_ALL, // it cannot go with --all
};

// The role of the option named, or ROLE_MISSING for no option of the table.
StationRole StationRoleOf(const char* name);
// Calls take(name) for every option of the table.
void ForEachOptionName(void (*take)(const char* name, void* context), void* context);

enum { WORKER_OPTIONS_MAX = 16 + 2 * IMAGE_OPTIONS_MAX + 2 * KEYS_MAX, NUMBER_TEXT_MAX = 12 };

// The options a station passes on to each worker, as given (files as the
// file functions take them), into arguments (at most WORKER_OPTIONS_MAX);
// a number's text is written into numbers at its argument's index. Returns
// how many.
size_t WorkerOptions(const Options& options, const char** arguments,
                     char (*numbers)[NUMBER_TEXT_MAX]);

extern const char* const Usage;

// The lines that follow the usage message in --help.
extern const char* const OptionsHelp;
