#include "session/station.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/history.h"
#include "output/log_line.h"
#include "output/publish.h"
#include "output/record_text.h"
#include "platform/platform.h"
#include "session/command_line.h"
#include "session/station_parts.h"

const char* const StationTag = "station";

enum {
    WORKER_ARGUMENTS_MAX = 16 + WORKER_OPTIONS_MAX, // with the station's own and the end
    READ_STEP_MS = 200,
    LOOK_MS = 1000, // --watch: how often the fixture is looked at
};
static_assert(WORKER_ARGUMENTS_MAX <= PLATFORM_WORKER_ARGUMENTS_MAX + 1, "(the +1: the end)");

static void FreeStation(Station* s) {
    UnitsEnd(&s->table);
    PoolEnd(s->pool);
    JsonSpoolClose(&s->spooled);
    free(s->imagesRefused);
    free(s);
}

static const char* const NoRoom = "Memory alloc failed";

Station* StationTakeNames(char* const* names, int32_t count, const char** failure) {
    Station* s = static_cast<Station*>(calloc(1, sizeof(Station)));
    bool room = s != nullptr && (s->pool = PoolBegin()) != nullptr;
    room = room && UnitsBegin(&s->table, names, count);
    if (!room) {
        *failure = LogFailureLine(StationTag, NoRoom);
        if (s != nullptr) {
            FreeStation(s);
        }
        return nullptr;
    }
    return s;
}

// --- The workers ---------------------------------------------------------------

// What a worker is started with: the frontend, no question, JSON for the
// station to read, a log of its own that is never the station's, the
// images' hashes, its unit's number (written into unitNumber) for its
// record, and the options the station passes on. All ASCII or UTF-8.
static void WorkerArguments(const Station* s, const Unit& unit,
                            const char* arguments[WORKER_ARGUMENTS_MAX],
                            char (*numbers)[NUMBER_TEXT_MAX], char* unitNumber) {
    size_t n = 0;
    auto add = [&](const char* argument) { arguments[n++] = argument; };
    add("--device");
    add(unit.utf8); // whole: see RefuseNamesWorkersCannotTake
    add("--yes");
    add("--json");
    add("--log");
    add(unit.log);
    add("--station-log");
    add(s->plan->logPath);
    add("--station-images");
    add(s->imageSha256s);
    snprintf(unitNumber, NUMBER_TEXT_MAX, "%d", (int)unit.number);
    add("--station-unit");
    add(unitNumber);
    n += WorkerOptions(*s->plan->options, arguments + n, numbers);
    if (s->plan->options->watch && !s->plan->options->skipCurrent) {
        add("--skip-current"); // a flashed unit that comes back after its reboot
    }
    add("--");
    add(s->plan->transport);
    add(s->plan->waitTime);
    arguments[n] = nullptr;
}

// The unit's worker, running; false when it could not be started. While
// others run, a start that fails (for lack of processes, descriptors,
// memory) waits for one of them to end.
static bool StartWorker(Station* s, Unit* unit) {
    if (s->imagesRefused != nullptr) { // (no worker would take them)
        AccountFor(s, unit, OUTCOME_REFUSED, UNIT_STATUS_NOT_FLASHED, s->plan->run->log,
                   s->imagesRefused);
        return false;
    }
    LocalTimestamp(unit->started);
    char log[4 * MESSAGE_BUFFER_SIZE];
    free(unit->log);
    const char* stamp = s->plan->options->watch ? unit->started : nullptr;
    unit->log =
        UnitLogName(s->plan->logPath, stamp, unit->number, log, sizeof log) ? strdup(log) : nullptr;
    bool named = unit->log != nullptr;
    const char* arguments[WORKER_ARGUMENTS_MAX];
    char numbers[WORKER_OPTIONS_MAX][NUMBER_TEXT_MAX], unitNumber[NUMBER_TEXT_MAX];
    WorkerArguments(s, *unit, arguments, numbers, unitNumber);
    uint32_t error = named ? 0 : PlatformPathTooLongError;
    bool started = named && PoolStart(s->pool, unit->number, arguments, &error);
    if (!started && named && PoolRunning(s->pool) > 0) {
        s->startsWait = true;
        return false;
    }
    if (!started) {
        const char* why =
            LogFailure(StationTag, "Worker for frontend [%s] could not be started, error %d",
                       unit->shown, (int)error);
        AccountFor(s, unit, OUTCOME_FAILED, UNIT_STATUS_FAILED, s->plan->run->log, why);
        return false;
    }
    LogFormat(StationTag, "Frontend [%s] is flashed by worker %d, log [%s]", unit->shown,
              (int)unit->number, unit->log);
    unit->unitLog = unit->log;
    unit->state = UNIT_WORKING;
    unit->shownTenth = -1;
    s->view.changed = true;
    return true;
}

void StartWorkers(Station* s) {
    int32_t limit =
        s->plan->options->maxParallel > 0 ? s->plan->options->maxParallel : POOL_WORKERS_MAX;
    limit = limit < POOL_WORKERS_MAX ? limit : POOL_WORKERS_MAX;
    for (int32_t i = 0; i < s->table.count && PoolRunning(s->pool) < limit && !s->startsWait &&
                        s->table.ended == WATCH_GOES_ON && !PlatformStopRequested() &&
                        !UnitsCouldReachCount(s->table, s->limits, PoolRunning(s->pool));
         i++) {
        if (UnitMayStart(s->table, s->table.units[i])) {
            StartWorker(s, &s->table.units[i]);
        }
    }
}

static void OnWorkerLine(void* context, int32_t owner, const char* line) {
    Station* s = static_cast<Station*>(context);
    TakeWorkerLine(s, UnitNumbered(&s->table, owner), line);
}

static void OnWorkerEnd(void* context, int32_t owner, int status) {
    Station* s = static_cast<Station*>(context);
    s->startsWait = false;
    TakeWorkerEnd(s, UnitNumbered(&s->table, owner), status);
}

bool FollowWorkers(Station* s, uint32_t ms) {
    static const PoolCallbacks callbacks = {OnWorkerLine, OnWorkerEnd};
    return PoolFollow(s->pool, ms, callbacks, s);
}

bool PassStopOn(Station* s) {
    return PoolStopAll(s->pool);
}

static int StationStatus(Station* s) {
    int status = UnitsExitStatus(s->table, s->plan->options->exitStatus, PlatformStopRequested());
    ListUnits(s, CountUnits(*s, status));
    return status;
}

// A second stop, once every running worker has the first, ends the station
// sooner but never without what it owes: the units still waiting for their
// turn get their records, those being flashed are left to their workers
// (each stops in order and keeps its own record), and the last event lists
// every unit. Then the process ends at once.
void StopAtSecondStop(Station* s) {
    if (!PlatformStopRequested() || !PassStopOn(s) || !PlatformSecondStopHeld()) {
        return;
    }
    bool leftToStop = false;
    for (int32_t i = 0; i < s->table.count; i++) {
        UnitState state = s->table.units[i].state;
        leftToStop = leftToStop || state == UNIT_WAITING || UnitWorkerRuns(s->table.units[i]);
    }
    if (!leftToStop) {
        return; // the station ends in order all the same
    }
    if (s->plan->options->watch && s->table.ended == WATCH_GOES_ON) {
        s->table.ended = WATCH_STOPPED;
    }
    AccountForTheStopped(s);
    for (int32_t i = 0; i < s->table.count; i++) {
        Unit* unit = &s->table.units[i];
        if (UnitWorkerRuns(*unit)) {
            unit->state = UNIT_ENDED;
            unit->outcome = OUTCOME_STOPPED;
            unit->status = PlatformStoppedExitStatus;
            unit->unitLog = unit->log;
            unit->message = strdup("Left to its worker by a second stop, which keeps its record");
            UnitEnded(s, *unit);
        }
    }
    StationStatus(s);
    PlatformEndForSecondStop();
}

// --- The station -------------------------------------------------------------------

// One look at the fixture. What the workers said before the listing came is
// taken before its changes: a unit that reported its programming done
// reboots, and its leaving is its own.
static void Look(Station* s) {
    SdkListing listing;
    if (!WatchList(s, &listing)) {
        return;
    }
    for (int32_t reads = 0; reads < 4 * PoolRunning(s->pool) && FollowWorkers(s, 0); reads++) {
    }
    WatchTake(s, &listing);
}

// --watch: looks at least once a second and flashes each frontend that
// arrives, until a stop or a limit ends the watch; then the running workers
// finish. The first look was the run's listing: its frontends are the first
// units, and the table kept it.
static void Watch(Station* s) {
    UnitTable* table = &s->table;
    s->limits = WatchLimits{s->plan->options->count, s->plan->options->maxFailures};
    s->nextLook = PlatformMilliseconds() + LOOK_MS;
    StartWorkers(s);
    while (PoolRunning(s->pool) > 0 ||
           (table->ended == WATCH_GOES_ON && !PlatformStopRequested())) {
        UnitsForget(table);
        StopAtSecondStop(s);
        if (PlatformStopRequested()) {
            PassStopOn(s);
        } else if (table->ended == WATCH_GOES_ON && PlatformMilliseconds() >= s->nextLook) {
            Look(s);
            s->nextLook = PlatformMilliseconds() + LOOK_MS;
        }
        ViewDraw(&s->view, *table, PlatformMilliseconds());
        WatchReport(s);
        StartWorkers(s);
        if (PoolRunning(s->pool) > 0) {
            FollowWorkers(s, READ_STEP_MS);
        } else if (table->ended == WATCH_GOES_ON && !PlatformStopRequested()) {
            PlatformSleep(READ_STEP_MS);
        }
    }
    table->ended = table->ended != WATCH_GOES_ON ? table->ended : WATCH_STOPPED;
}

// --all: every unit listed, at most --max-parallel at once.
static void FlashAll(Station* s) {
    StartWorkers(s);
    while (PoolRunning(s->pool) > 0) {
        ViewDraw(&s->view, s->table, PlatformMilliseconds());
        StopAtSecondStop(s);
        if (PlatformStopRequested()) {
            PassStopOn(s);
        }
        FollowWorkers(s, READ_STEP_MS);
        StartWorkers(s);
        PublishCheck(StationTag);
    }
}

void StationEndsUnlisted(const Options& options, int status, const char* message) {
    int32_t none[OUTCOME_END] = {};
    Outcome last =
        options.verifyMinutes > 0 ? (Outcome)STATION_OUTCOMES_VERIFIED : (Outcome)STATION_OUTCOMES;
    JsonStation(StationCounts{none, last, 0, status, nullptr}, nullptr, message);
}

int RunStation(Station* s, const StationPlan& plan) {
    if (s == nullptr) { // no room for the list
        StationEndsUnlisted(*plan.options, 1, NoRoom);
        return 1;
    }
    s->plan = &plan;
    ViewBegin(&s->view, plan.options->watch, plan.options->verifyMinutes > 0,
              PlatformMilliseconds());
    JsonSpoolOpen(&s->spooled); // before any worker: none inherits it
    ReadImagesOnce(s);
    if (plan.options->watch) {
        WatchFirstArrivals(s);
    }
    RefuseNamesListedTwice(s);
    RefuseNamesWorkersCannotTake(s);
    PlatformHoldSecondStop(); // not before every worker has the first
    PlatformFlashBegins();    // awake, and the session kept, for every worker
    if (plan.options->watch) {
        Watch(s);
    } else {
        FlashAll(s);
    }
    PlatformFlashEnds();
    AccountForTheStopped(s);
    ViewDraw(&s->view, s->table, PlatformMilliseconds());
    ViewEnd(&s->view); // the lines drawn last stay
    int status = StationStatus(s);
    FreeStation(s);
    return status;
}
