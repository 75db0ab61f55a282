// What the POSIX platform files share among themselves.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/types.h>

// The time on clock ms milliseconds from now: a deadline for the waits that
// take an absolute time.
struct timespec TimeAfter(clockid_t clock, uint32_t ms);

// The environment variable through which a station tells its workers its
// process id.
#define STATION_PID_VARIABLE "KESTRUNE_STATION_PID"

// Starts path with argv and env through posix_spawn, which glibc makes a
// vfork and exec, with no copy of this process's memory: in a process group
// of its own (the terminal's Ctrl-C reaches this process alone), signals as
// a fresh start has them, input and output from the descriptors given
// (/dev/null for -1), /dev/null as its error. Returns 0 or the error.
int SpawnInGroupOfItsOwn(const char* path, char* const* argv, char* const* env, int input,
                         int output, pid_t* pid);
