// Options for scripted use and production lines, anywhere on the command
// line: each changes nothing unless it is given.
#pragma once

struct Options {
    bool exitStatus;         // --exit-status: the exit status tells the outcome
    const char* historyPath; // --history FILE: append a record of the run
    int historyIndex;        // where FILE stands in argv
    const char* device;      // --device NAME: flash the frontend of that name
    bool list;               // --list: list the frontends, flash nothing
    const char* infoPath;    // --info [FILE]: describe an image, no SDK, no log
    bool yes;                // --yes: the question is answered Y
    bool allowOlder;         // --allow-older: with --yes, an older image too
    bool help;               // --help
    bool version;            // --version
    // The first two arguments that are no option.
    const char* transport;
    const char* waitTime;
};

enum OptionsError {
    OPTIONS_OK,
    OPTIONS_UNKNOWN,      // an argument that begins with "--" and is no option
    OPTIONS_MISSING_VALUE // an option without its value
};

// Reads the command line: options anywhere, "--" alone ends them. On an
// error *culprit is the argument at fault.
OptionsError ParseOptions(int argc, char** argv, Options* options, const char** culprit);

// The lines that follow the usage message in --help.
extern const char* const OptionsHelp;
