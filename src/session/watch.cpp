// --watch: a station that goes on. Each look at the fixture is a short
// session of its own and a source of arrivals and departures, which the
// station takes as they come: a unit for each frontend that arrived.
#include <cstdlib>

#include "output/log_line.h"
#include "output/shown_text.h"
#include "platform/platform.h"
#include "sdk/listing.h"
#include "session/command_line.h"
#include "session/station_parts.h"

enum {
    LOOK_MS = 1000, // how often the fixture is looked at
    WATCHING_MS = 10000,
    IDLE_STEP_MS = 200,
};

// A frontend that arrived (its unit added) or left.
static void TakeChange(void* context, bool arrived, const Unit* unit, const char* name) {
    Station* s = static_cast<Station*>(context);
    s->view.changed = true;
    LogFormat(StationTag, arrived ? "Frontend [%s] arrived" : "Frontend [%s] left",
              ShownText(name));
    JsonFixture(arrived ? "arrived" : "left", arrived ? unit->utf8 : name);
}

// One look at the fixture. An empty fixture is the normal state; a look
// that fails is logged once, until looks work again.
static void Look(Station* s) {
    SdkListing listing;
    if (!SdkListingBegin(s->plan->transportCode, &listing)) {
        if (!s->looksFail) {
            LogFormat(StationTag, "Looking for frontends failed, errorcode = %d, trying again",
                      listing.errorWord);
        }
        s->looksFail = true;
        SdkListingExit(&listing);
        return;
    }
    s->looksFail = false;
    bool listed = SdkListingList(&listing);
    UnitsTakeLook(&s->table, listing.names, listed ? listing.count : 0, TakeChange, s);
    SdkListingEnd(&listing);
    RefuseNamesWorkersCannotTake(s);
}

// Every ten seconds, the counts so far.
static void ReportWatching(Station* s) {
    uint64_t now = PlatformMilliseconds();
    if (now < s->nextWatching) {
        return;
    }
    s->nextWatching = now + WATCHING_MS;
    JsonWatching(CountUnits(*s, 0), s->table.presentCount, PoolRunning(s->pool));
}

// The first look was the run's listing: its frontends are the first units.
void Watch(Station* s) {
    UnitTable* table = &s->table;
    char** first = static_cast<char**>(calloc((size_t)table->count + 1, sizeof(char*)));
    for (int32_t i = 0; first != nullptr && i < table->count; i++) {
        first[i] = table->units[i].name;
    }
    UnitsKeepLook(table, first, first != nullptr ? table->count : 0);
    free(first);
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
        ReportWatching(s);
        StartWorkers(s);
        if (PoolRunning(s->pool) > 0) {
            FollowWorkers(s);
        } else if (table->ended == WATCH_GOES_ON && !PlatformStopRequested()) {
            PlatformSleep(IDLE_STEP_MS);
        }
    }
    table->ended = table->ended != WATCH_GOES_ON ? table->ended : WATCH_STOPPED;
}
