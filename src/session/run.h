// One run past the command line: the SDK session around the flash, closed
// in order, and the record of it.
#pragma once

#include "session/command_line.h"

// Runs the session the options ask for; problem is the command line's
// fault, or null. Returns the exit status.
int RunSession(const Options& options, const char* problem);
