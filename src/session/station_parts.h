// What the files of the station share: the station's value, and the steps
// one file takes for another. Nothing outside the station includes it.
#pragma once

#include <cstdint>

#include "flash/phases.h"
#include "output/json.h"
#include "sdk/listing.h"
#include "session/station.h"
#include "session/station_view.h"
#include "session/unit_table.h"
#include "session/worker_pool.h"

extern const char* const StationTag;

// The exit statuses the station gives a unit it ends itself.
enum { UNIT_STATUS_FAILED = 1, UNIT_STATUS_NOT_FLASHED = 3 };

struct Station {
    const StationPlan* plan;
    UnitTable table;
    WorkerPool* pool;
    StationView view;
    UnitSpool spooled;  // the units that ended, for the last event (--watch)
    WatchLimits limits; // --watch's
    bool startsWait;    // a start failed while workers ran: wait for one to end
    bool looksFail;     // --watch: the last look failed
    uint64_t nextLook;  // --watch: when the fixture is looked at next
    uint64_t nextWatching;
    // Each image's SHA-256 as the station read it before any worker, for
    // the workers to flash those bytes or none (see ReadImagesOnce).
    char imageSha256s[FLASH_IMAGES_MAX * 65];
    char* imagesRefused; // --key: why no unit can have the images, as logged; or null
};

// --- The units' ends and records (station_units.cpp) ---

// A unit has ended: counted, and with --watch listed for the last event at
// once (so the watch lists its units in the order they ended); its end may
// reach one of the watch's limits: then no worker starts after it, and
// those running finish.
void UnitEnded(Station* s, const Unit& unit);
// A unit the station ends itself (refused, lost, never started): its record
// and its result, as the station saw it.
void AccountFor(Station* s, Unit* unit, Outcome outcome, int status, const char* log,
                const char* message);
// One whole line its worker wrote; its worker's end, with its exit status.
void TakeWorkerLine(Station* s, Unit* unit, const char* line);
void TakeWorkerEnd(Station* s, Unit* unit, int status);
// Those a stop or a watch's limit left without a turn: not flashed.
void AccountForTheStopped(Station* s);
// The counts so far, for the JSON.
StationCounts CountUnits(const Station& s, int status);
// The station's last event, one entry per unit.
void ListUnits(Station* s, const StationCounts& counts);

// --- The workers (station.cpp) ---

// Starts workers while there is room and no limit or stop holds them.
void StartWorkers(Station* s);
// Waits at most ms for the workers' output, and takes it; false when
// there was none.
bool FollowWorkers(Station* s, uint32_t ms);
// A stop, passed on to every worker (true once each running one has it);
// and a second one, which ends the station sooner (see StopAtSecondStop).
bool PassStopOn(Station* s);
void StopAtSecondStop(Station* s);

// --- What no worker gets (station_units.cpp) ---

// Names listed more than once cannot be told apart by --device.
void RefuseNamesListedTwice(Station* s);
// Names a worker cannot be given whole are refused.
void RefuseNamesWorkersCannotTake(Station* s);
// Each image read once, before any worker (see ReadImagesOnce there).
void ReadImagesOnce(Station* s);

// --- The watch's looks (watch.cpp) ---

// The units in the fixture when the watch starts: each arrived.
void WatchFirstArrivals(Station* s);
// One look at the fixture: a unit for each frontend that arrived.
// A look at the fixture in two steps: the listing (false when the look
// failed: an empty fixture is the normal state, a failing look is logged
// once until looks work again), then its arrivals and departures taken.
bool WatchList(Station* s, SdkListing* listing);
void WatchTake(Station* s, SdkListing* listing);
// Every ten seconds, the counts so far.
void WatchReport(Station* s);
