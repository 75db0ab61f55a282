#include "session/station_view.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/log_line.h"
#include "output/station_screen.h"
#include "platform/platform.h"

enum { REDRAW_MS = 1000 }; // the time left counts down at least this often

// The one view a station has: the messages' hook clears its lines.
static StationView* Shown;

// Before a message: the lines go, the message takes their place, and they
// are drawn again below it.
static void ClearLines() {
    if (Shown != nullptr && Shown->redrawing && Shown->linesDrawn > 0) {
        char up[24];
        snprintf(up, sizeof up, "\r\x1b[%dA\x1b[J", (int)Shown->linesDrawn);
        PlatformConsoleWrite(up, strlen(up));
        Shown->linesDrawn = 0;
    }
}

void ViewBegin(StationView* view, bool watch, uint64_t now) {
    *view = StationView{PlatformConsoleRedrawsLines(), 0, false, 0, now, watch};
    Shown = view;
    LogBeforeConsole(ClearLines);
}

void ViewEnd() {
    LogBeforeConsole(nullptr);
    Shown = nullptr;
}

// A unit's cell: what it is doing, how it ended, or (--watch) that its
// frontend was taken out.
static ScreenCell DescribeState(const StationView& view, const UnitTable& table, const Unit& unit,
                                uint64_t now) {
    ScreenCell cell = {unit.shown, "", CELL_PLAIN};
    const size_t capacity = sizeof cell.state;
    long long toQuery = (unit.queryAt - (long long)now) / 1000;
    bool ended = unit.state == UNIT_ENDED || unit.state == UNIT_REFUSED;
    const OutcomeKind& kind = Outcomes[unit.outcome];
    if (ended && view.watch && !NameIn(table.present, table.presentCount, unit.name)) {
        snprintf(cell.state, capacity, "empty");
    } else if (ended) {
        cell.colour = kind.done ? CELL_GOOD : kind.failed ? CELL_BAD : CELL_PLAIN;
        if (kind.done) {
            snprintf(cell.state, capacity, "%s, take it out",
                     unit.outcome == OUTCOME_CURRENT ? "current" : "done");
        } else {
            snprintf(cell.state, capacity, kind.failed ? "%s, status %d" : "%s", kind.name,
                     unit.status);
        }
    } else if (unit.state == UNIT_WAITING) {
        snprintf(cell.state, capacity, "waiting");
    } else if (unit.percent == 100 && toQuery >= 0) { // sent: the frontend is programming
        snprintf(cell.state, capacity, "programming, status in %lld:%02lld%s%s", toQuery / 60,
                 toQuery % 60, unit.lastStatus[0] != '\0' ? ", " : "", unit.lastStatus);
    } else if (unit.percent == 100) {
        snprintf(cell.state, capacity, "programming%s%s", unit.lastStatus[0] != '\0' ? ", " : "",
                 unit.lastStatus);
    } else {
        snprintf(cell.state, capacity, "%3lld%%  %lld:%02lld left", unit.percent,
                 unit.secondsLeft / 60, unit.secondsLeft % 60);
    }
    return cell;
}

// Whether a unit has a cell: with --all every unit; with --watch those
// waiting or being flashed, and the newest unit of each frontend that the
// watch keeps (the cells kept so far are shown[0..count)).
static bool HasCell(const StationView& view, const Unit& unit, const ScreenCell* shown,
                    int32_t count) {
    if (!view.watch || unit.state == UNIT_WAITING || UnitWorkerRuns(unit)) {
        return true;
    }
    for (int32_t i = 0; i < count; i++) {
        if (strcmp(shown[i].name, unit.shown) == 0) {
            return false; // a newer unit has the frontend's cell
        }
    }
    return true;
}

// The summary line: counts, units an hour, time running.
static void Summarize(const StationView& view, const UnitTable& table, int32_t working,
                      uint64_t now, char* text, size_t capacity) {
    int32_t flashed = table.counts[OUTCOME_FLASHED], verified = table.counts[OUTCOME_VERIFIED];
    int32_t failed = 0;
    for (int k = OUTCOME_FLASHED; k < OUTCOME_END; k++) {
        failed += Outcomes[k].failed ? table.counts[k] : 0;
    }
    uint64_t ms = now - view.startedAt;
    long long seconds = (long long)(ms / 1000);
    int32_t good = flashed + verified;
    snprintf(
        text, capacity,
        "flashed %d  verified %d  failed %d  working %d  listed %d  %lld/h  %lld:%02lld:%02lld",
        (int)flashed, (int)verified, (int)failed, (int)working,
        (int)(view.watch ? table.presentCount : table.count),
        ms > 0 ? good * 3600000LL / (long long)ms : 0, seconds / 3600, seconds / 60 % 60,
        seconds % 60);
}

void ViewDraw(StationView* view, const UnitTable& table, uint64_t now) {
    if (!view->redrawing || (!view->changed && now - view->drawnAt < REDRAW_MS)) {
        return;
    }
    view->changed = false;
    view->drawnAt = now;
    ScreenCell* cells =
        static_cast<ScreenCell*>(calloc((size_t)table.count + 1, sizeof(ScreenCell)));
    int32_t count = 0, working = 0;
    for (int32_t i = table.count - 1; cells != nullptr && i >= 0; i--) { // newest first
        working += UnitWorkerRuns(table.units[i]);
        if (HasCell(*view, table.units[i], cells, count)) {
            cells[count++] = DescribeState(*view, table, table.units[i], now);
        }
    }
    for (int32_t i = 0; i < count / 2; i++) { // in the order they came
        ScreenCell first = cells[i];
        cells[i] = cells[count - 1 - i];
        cells[count - 1 - i] = first;
    }
    char summary[160];
    Summarize(*view, table, working, now, summary, sizeof summary);
    view->linesDrawn = DrawStationScreen(summary, cells, count, view->linesDrawn);
    free(cells);
}

void ViewProgress(const StationView& view, Unit* unit) {
    if (view.redrawing || unit->percent / 10 <= unit->shownTenth) {
        return;
    }
    unit->shownTenth = unit->percent / 10;
    char line[MESSAGE_BUFFER_SIZE];
    int length =
        snprintf(line, sizeof line, "Frontend [%s]: %lld%%\r\n", unit->shown, unit->percent);
    PlatformConsoleWrite(line, length < (int)sizeof line ? (size_t)length : sizeof line - 1);
}
