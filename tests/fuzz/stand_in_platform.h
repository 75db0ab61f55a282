// An in-process platform for the fuzzers: the console is counted, not
// written; pauses are skipped; the key is given; and the "library" is
// whatever entry points the harness hands out by name.
#pragma once

#include <cstddef>
#include <cstdint>

extern void* (*StandInFindSymbol)(const char* name);
extern int StandInKey;             // what the key read returns; -1 is no key
extern size_t StandInConsoleBytes; // bytes written to the console so far
extern uint32_t StandInSleptMs;    // pauses asked for so far
