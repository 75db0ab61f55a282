// --all: a station that flashes every frontend listed at once, each by a
// worker (this program again, with --device NAME --yes --json --log);
// --watch: one that goes on looking and flashes each frontend as it arrives.
#pragma once

#include <cstdint>

#include "output/run_record.h"

struct TrustedKey;

struct Options;

// The frontends listed, and the workers that flash them.
struct Station;

// What the station passes on to every worker: the options (see their
// station role), the transport and the pause.
// The station's records: the history as the file functions take it (null
// for none) and the paths a record never lands in.
struct StationPlan {
    const Options* options;
    const RunRecord* run;  // the station's own: its start, transport, pause and log
    const char* logPath;   // the station's log, as the file functions take it
    const char* transport; // the letter
    int32_t transportCode; // --watch: for the looks, with the SDK still loaded
    const char* waitTime;  // in decimal
    const char* historyPath;
    const char* const* recordProtectedPaths;
    const char* const* imagePaths; // as the file functions take them
    int imageCount;
    const TrustedKey* keys; // --key: the images must be signed by one
    int keyCount;
};

// A station for the names listed, kept before the list is given back to
// the SDK; null when there is no room for it, with *failure what was logged.
Station* StationTakeNames(char* const* names, int32_t count, const char** failure);

// Starts the workers, at most --max-parallel at once, follows them to their
// ends, logs each start and end, and gives the station's exit status. Every
// unit listed ends with its record and its result: a worker's own, or the
// station's for a unit it refused, lost or never started. The station's
// log is open; it stays open. The station is freed.
int RunStation(Station* station, const StationPlan& plan);

// The last event of a station that ended before it had a list: no units.
void StationEndsUnlisted(const Options& options, int status, const char* message);
