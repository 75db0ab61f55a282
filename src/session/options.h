// Options for scripted use, before the transport: each changes nothing
// unless it is given.
#pragma once

struct Options {
    bool exitStatus;         // --exit-status: the exit status tells the outcome
    const char* historyPath; // --history FILE: append a record of the run
    bool help;               // --help
    bool version;            // --version
    int firstArgument;       // index of the transport in argv
};

// Reads the options that stand before the transport. False for an unknown
// option or one without its value.
bool ParseOptions(int argc, char** argv, Options* options);

// The usage message followed by one line per option and the exit statuses.
extern const char* const OptionsHelp;
