// --watch: a station that goes on. Each look at the fixture is a short
// session of its own and a source of arrivals and departures, which the
// station takes as they come: a unit for each frontend that arrived; and
// every ten seconds, the counts so far.
#include <cstdlib>

#include "output/log_line.h"
#include "output/publish.h"
#include "output/shown_text.h"
#include "platform/platform.h"
#include "sdk/listing.h"
#include "session/command_line.h"
#include "session/station_parts.h"

enum { WATCHING_MS = 10000 };

// A frontend that arrived (its unit added) or left. A unit whose frontend
// left before its turn never gets a worker: what comes back under its name
// is another unit.
static void TakeChange(void* context, bool arrived, Unit* unit, const char* name) {
    Station* s = static_cast<Station*>(context);
    s->view.changed = true;
    LogFormat(StationTag, arrived ? "Frontend [%s] arrived" : "Frontend [%s] left",
              ShownText(name));
    JsonFixture(arrived ? "arrived" : "left",
                JsonUnit{arrived ? unit->utf8 : name, unit != nullptr ? unit->number : 0});
    if (!arrived && unit != nullptr && unit->state == UNIT_WAITING) {
        AccountFor(s, unit, OUTCOME_GONE, UNIT_STATUS_NOT_FLASHED, s->plan->run->log,
                   "Taken out before its turn, nothing was sent to the frontend");
    }
}

// The units in the fixture when the watch starts arrived with it.
void WatchFirstArrivals(Station* s) {
    for (int32_t i = 0; i < s->table.count; i++) {
        Unit* unit = &s->table.units[i];
        LogFormat(StationTag, "Frontend [%s] arrived", unit->shown);
        JsonFixture("arrived", JsonUnit{unit->utf8, unit->number});
    }
}

bool WatchList(Station* s, SdkListing* listing) {
    if (!SdkListingBegin(s->plan->transportCode, listing)) {
        if (!s->looksFail) {
            LogFormat(StationTag, "Looking for frontends failed, errorcode = %d, trying again",
                      listing->errorWord);
        }
        s->looksFail = true;
        SdkListingExit(listing);
        return false;
    }
    s->looksFail = false;
    if (!SdkListingList(listing)) {
        listing->count = 0;
    }
    return true;
}

void WatchTake(Station* s, SdkListing* listing) {
    UnitsTakeLook(&s->table, listing->names, listing->count, TakeChange, s);
    SdkListingEnd(listing);
    RefuseNamesWorkersCannotTake(s);
}

// Every ten seconds, the counts so far and each slot as the board shows
// it, so that a reader that comes late needs nothing older.
void WatchReport(Station* s) {
    PublishCheck(StationTag);
    uint64_t now = PlatformMilliseconds();
    if (now < s->nextWatching) {
        return;
    }
    s->nextWatching = now + WATCHING_MS;
    int32_t count = 0;
    ScreenCell* slots = ViewCells(&s->view, s->table, now, &count);
    JsonWatching(CountUnits(*s, 0), s->table.presentCount, PoolRunning(s->pool),
                 (long long)(now - s->view.startedAt) / 1000, slots, count);
    free(slots);
}
