// Reading the command line.
#pragma once

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
