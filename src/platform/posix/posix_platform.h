// What the POSIX platform files share among themselves.
#pragma once

#include <cstdint>
#include <ctime>

// The time on clock ms milliseconds from now: a deadline for the waits that
// take an absolute time.
struct timespec TimeAfter(clockid_t clock, uint32_t ms);

// The environment variable through which a station tells its workers its
// process id.
#define STATION_PID_VARIABLE "KESTRUNE_STATION_PID"
