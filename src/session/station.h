// --all: a station that flashes every frontend listed at once, each by a
// worker (this program again, with --device NAME --yes --json --log).
#pragma once

#include <cstdint>

struct Options;

// What the station passes on to every worker: the options (see their
// station role), the transport and the pause.
struct StationPlan {
    const Options* options;
    const char* transport; // the letter
    const char* waitTime;  // in decimal
};

// Keeps the names listed, before the list is given back to the SDK.
void StationTakeNames(char* const* names, int32_t count);

// Starts the workers, at most --max-parallel at once, follows them to their
// ends, logs each start and end, and gives the station's exit status. The
// station's log is open; it stays open.
int RunStation(const StationPlan& plan);
