// The command line: the transport and the pause the operator gives, and the
// options for scripted use and production lines, anywhere among them (each
// changes nothing unless it is given).
#pragma once

#include <cstddef>
#include <cstdint>

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
// argv (0 for a default), so that the platform can give it back as a path.
struct FileArgument {
    const char* path;
    int index;
};

struct Options {
    bool exitStatus;      // --exit-status: the exit status tells the outcome
    FileArgument history; // --history FILE: append a record of the run
    const char* device;   // --device NAME: flash the frontend of that name
    bool list;            // --list: list the frontends, flash nothing
    FileArgument info;    // --info [FILE]: describe an image, no SDK, no log
    bool yes;             // --yes: the question is answered Y
    bool allowOlder;      // --allow-older: with --yes, an older image too
    bool help;            // --help
    bool version;         // --version
    FileArgument image;   // --image FILE: the image instead of kovi_firmware.bin
    FileArgument log;     // --log FILE: the log instead of kovi_kestrune.log
    bool json;            // --json: JSON Lines on standard output
    bool expectSerialSet; // --expect-serial N: only the frontend with serial N
    int32_t expectSerial;
    bool skipCurrent;    // --skip-current: a frontend that runs the image's
                         // version is not flashed
    bool all;            // --all: every frontend listed, each by a worker
    int32_t maxParallel; // --max-parallel N: at most N workers at once, 0 for all
    // The first two arguments that are no option.
    const char* transport;
    const char* waitTime;
};

// Reads the command line: options anywhere, "--" alone ends them. False on
// an error, with the message to log in message; the rest is read all the
// same, so that --help and --version are seen wherever they stand.
bool ParseOptions(int argc, char** argv, Options* options, char* message, size_t capacity);

// Whether an option asks for a run that a program drives, not a person.
bool MachineRun(const Options& options);

extern const char* const Usage;

// The lines that follow the usage message in --help.
extern const char* const OptionsHelp;
