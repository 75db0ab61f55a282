// A station's units: each frontend listed (with --watch: each arrival) from
// the moment the station knows of it to its outcome, how the units ended so
// far, and the watch's limits. Plain rules over plain data: no process, no
// console, no clock of its own, so that each rule has a test of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output/history.h"
#include "output/outcome.h"
#include "output/run_record.h"

// A unit's way through the station. A look at the fixture sees only names;
// the state says what a name's leaving or coming back means for its unit.
enum UnitState {
    UNIT_WAITING,   // for its worker's turn
    UNIT_WORKING,   // its worker runs: the transfer, the programming
    UNIT_REBOOTING, // its worker runs, programming is done: it reboots, is verified
    UNIT_ENDED,     // its worker ended, or the station ended it
    UNIT_REFUSED,   // ended by the station before any worker
};

struct Unit {
    char* name;     // as the SDK listed it, and behind it
    char* utf8;     // the same in UTF-8, and
    char* shown;    // as the log and the screen show it, in one allocation
    int32_t number; // of the station's units, from 1 in the order they came
    int32_t timesListed;
    UnitState state;
    bool left; // its frontend left the slot before its unit ended
    char* log; // its worker's
    char started[32];
    // The newest of what its worker said, for the screen.
    long long percent;
    long long secondsLeft;
    long long shownTenth;
    long long queryAt; // when the worker's next status query comes (ms), during the wait
    char lastStatus[40];
    char tryText[24]; // --retries: "try 2 of 3" once a try after the first began
    FlashReport seen; // of the frontend and the image, for a record of the station's
    // How it ended, for its record and the station's last event.
    bool haveResult;
    Outcome outcome;
    int status;
    char* message;       // the station's own, or
    char* messageJson;   // the worker's result's, as it wrote it
    const char* unitLog; // the log that tells how it went
    Recorded recorded;
};

// Why a watch ended; WATCH_GOES_ON while it goes on.
enum WatchEnd { WATCH_GOES_ON, WATCH_STOPPED, WATCH_COUNT, WATCH_MAX_FAILURES };

// --watch's limits (0: none).
struct WatchLimits {
    int32_t count;
    int32_t maxFailures;
};

struct UnitTable {
    Unit* units; // in listing (with --watch: arrival) order
    int32_t count;
    int32_t capacity;
    int32_t numbered; // units so far
    // How the units that ended so far ended, indexed by outcome.
    int32_t counts[OUTCOME_END];
    int32_t unrecorded;
    uint32_t highestStatus;
    bool allDone;
    bool stoppedSome; // a stop that stopped nothing changes nothing
    bool forget;      // a unit ended, or the fixture changed: see UnitsForget
    // --watch: the names of the last look, and its limits so far.
    char** present;
    int32_t presentCount;
    int32_t mostListed; // at once
    int32_t flashedSoFar, failuresInRow;
    WatchEnd ended;
};

// A table for the names listed (null: none), kept as a watch's first look;
// false when memory ran out.
bool UnitsBegin(UnitTable* table, char* const* names, int32_t count);
void UnitsEnd(UnitTable* table);

// A new unit of that name, waiting for its worker; false when there is no
// room for it.
bool UnitAdd(UnitTable* table, const char* listed);
// The unit of that number, or null when it is no more.
Unit* UnitNumbered(UnitTable* table, int32_t number);

// A unit has ended: counted, and with limits (a watch) held against them;
// true when this end reached a limit, which table->ended then says.
bool UnitCount(UnitTable* table, const Unit& unit, const WatchLimits* limits);

// --count: whether the units flashed so far and those working could reach
// the count: no more workers start (one that fails frees its place).
bool UnitsCouldReachCount(const UnitTable& table, const WatchLimits& limits, int32_t working);

// The station's exit status: 130 after a stop that stopped a unit, else
// with --exit-status 0 when every unit is done or the highest status a unit
// got (1 where none had one), without it 0.
int UnitsExitStatus(const UnitTable& table, bool exitStatus, bool stopRequested);

// Whether the unit's worker runs.
bool UnitWorkerRuns(const Unit& unit);
// Whether a unit of that name waits for its worker or is being flashed.
bool UnitBusy(const UnitTable& table, const char* name);
// Whether a waiting unit may have its worker now: not while an older unit
// of its slot still has one (the old unit was taken out mid-flash, the new
// one waits for its worker to end; no two workers for one name).
bool UnitMayStart(const UnitTable& table, const Unit& unit);
bool NameIn(char* const* names, int32_t count, const char* name);

// The names a look listed, kept: what the next look is held against.
void UnitsKeepLook(UnitTable* table, char* const* names, int32_t count);

// A look at the fixture against the one before: changed(context, arrived,
// unit, name) for each frontend that left (unit: its slot's unit, or null)
// and, once its unit is added, each that arrived; then the look is kept.
// A name is a slot, not a unit:
// - a frontend that leaves while its unit reboots is that unit's affair: it
//   stays in the slot, and coming back is no arrival;
// - a frontend that leaves while its unit waits or is flashed has left
//   (the unit says so), and what comes back under its name is a new unit.
void UnitsTakeLook(UnitTable* table, char* const* names, int32_t count,
                   void (*changed)(void* context, bool arrived, Unit* unit, const char* name),
                   void* context);

// A watch keeps a unit that ended only while it has a cell: while its
// frontend is in the fixture, to be taken out, and after that as an empty
// slot, until a new unit comes under its name or more slots are empty than
// the fixture ever held frontends at once. So the table never holds more
// than the fixture does, however long the day.
void UnitsForget(UnitTable* table);

// The log of worker k: the station's log name with "-K" before its
// extension (a name that starts with its only dot has none); with --watch
// the date and time the worker started (started: 2026-12-09T10:15:02+01:00)
// before K, so that no log of the day is overwritten:
// "-20261209-101502-17". False when it does not fit.
bool UnitLogName(const char* stationLog, const char* started, int32_t k, char* out,
                 size_t capacity);
