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

void ViewBegin(StationView* view, bool watch, bool verify, uint64_t now) {
    *view = StationView{PlatformConsoleRedrawsLines(), 0, false, 0, now, watch, verify, nullptr, 0};
    Shown = view;
    LogBeforeConsole(ClearLines);
}

static void ForgetSlots(StationView* view) {
    for (int32_t i = 0; i < view->slotCount; i++) {
        free(view->slots[i]);
    }
    free(view->slots);
    view->slots = nullptr;
    view->slotCount = 0;
}

void ViewEnd(StationView* view) {
    LogBeforeConsole(nullptr);
    Shown = nullptr;
    ForgetSlots(view);
}

// --watch: the cells in the order their slots were first seen; slots with
// no cell now are forgotten (the table keeps no more than the fixture).
static void KeepSlotOrder(StationView* view, ScreenCell* cells, int32_t count) {
    char** slots = static_cast<char**>(calloc((size_t)count + 1, sizeof(char*)));
    if (slots == nullptr) {
        return; // (the cells as they came)
    }
    int32_t kept = 0;
    for (int32_t i = 0; i < view->slotCount; i++) { // the known slots that have a cell
        for (int32_t j = kept; j < count; j++) {
            if (strcmp(cells[j].name, view->slots[i]) == 0) {
                ScreenCell cell = cells[j];
                memmove(&cells[kept + 1], &cells[kept], (size_t)(j - kept) * sizeof(ScreenCell));
                cells[kept] = cell;
                slots[kept++] = view->slots[i];
                view->slots[i] = nullptr;
                break;
            }
        }
    }
    for (int32_t j = kept; j < count; j++) { // new slots after them, as they came
        slots[j] = strdup(cells[j].name);
    }
    ForgetSlots(view);
    view->slots = slots;
    view->slotCount = count;
}

// Why a unit is set aside, in a word or two.
static const char* SetAsideBecause(const Unit& unit) {
    switch (unit.outcome) {
    case OUTCOME_UNVERIFIED:
        return "not verified";
    case OUTCOME_REFUSED:
        return "refused";
    default:
        return Outcomes[unit.outcome].name;
    }
}

// A unit's cell: what it is doing, how it ended, or (--watch) that its
// frontend was taken out.
static ScreenCell DescribeState(const StationView& view, const UnitTable& table, const Unit& unit,
                                uint64_t now) {
    ScreenCell cell = {unit.shown, "", CELL_PLAIN, unit.utf8, unit.number};
    const size_t capacity = sizeof cell.state;
    long long toQuery = (unit.queryAt - (long long)now) / 1000;
    bool ended = unit.state == UNIT_ENDED || unit.state == UNIT_REFUSED;
    const OutcomeKind& kind = Outcomes[unit.outcome];
    if (ended && view.watch && !NameIn(table.present, table.presentCount, unit.name)) {
        cell.colour = CELL_EMPTY;
        snprintf(cell.state, capacity, "empty");
    } else if (ended && kind.done) {
        cell.colour = CELL_GOOD;
        snprintf(cell.state, capacity, "%s, take it out",
                 unit.outcome == OUTCOME_CURRENT ? "current" : "done");
    } else if (ended && kind.failed) {
        cell.colour = CELL_BAD;
        snprintf(cell.state, capacity,
                 unit.status != 0 ? "set aside, %s, status %d" : "set aside, %s",
                 SetAsideBecause(unit), unit.status);
    } else if (ended) {
        cell.colour = CELL_GREY;
        snprintf(cell.state, capacity, "%s",
                 unit.outcome == OUTCOME_UNPROVEN ? "not proven" : kind.name);
    } else if (unit.state == UNIT_WAITING) {
        snprintf(cell.state, capacity, "waiting");
    } else if (unit.state == UNIT_REBOOTING) {
        cell.colour = CELL_REBOOTING;
        snprintf(cell.state, capacity, "%s", view.verify ? "rebooting, verifying" : "rebooting");
    } else if (unit.percent == 100 && toQuery >= 0) { // sent: the frontend is programming
        cell.colour = CELL_WORKING;
        snprintf(cell.state, capacity, "programming, status in %lld:%02lld%s%s", toQuery / 60,
                 toQuery % 60, unit.lastStatus[0] != '\0' ? ", " : "", unit.lastStatus);
    } else if (unit.percent == 100) {
        cell.colour = CELL_WORKING;
        snprintf(cell.state, capacity, "programming%s%s", unit.lastStatus[0] != '\0' ? ", " : "",
                 unit.lastStatus);
    } else {
        cell.colour = CELL_WORKING;
        // (no time left before the transfer has one to tell)
        snprintf(cell.state, capacity,
                 unit.secondsLeft > 0 ? "%3lld%%, %lld:%02lld left" : "%3lld%%", unit.percent,
                 unit.secondsLeft / 60, unit.secondsLeft % 60);
    }
    if (!ended && unit.tryText[0] != '\0') {
        size_t used = strlen(cell.state);
        snprintf(cell.state + used, capacity - used, ", %s", unit.tryText);
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

// The summary line: the good units, those set aside and why, those
// working, the units an hour, the time running, and why a watch ends.
static void Summarize(const StationView& view, const UnitTable& table, int32_t working,
                      uint64_t now, char* text, size_t capacity) {
    int32_t good = 0, setAside = 0;
    char kinds[160] = "";
    size_t used = 0;
    for (int k = OUTCOME_FLASHED; k < OUTCOME_END; k++) {
        good += Outcomes[k].done ? table.counts[k] : 0;
        if (Outcomes[k].failed && table.counts[k] > 0 && used < sizeof kinds) {
            setAside += table.counts[k];
            used +=
                (size_t)snprintf(kinds + used, sizeof kinds - used, "%s%s %d",
                                 used > 0 ? ", " : " (", Outcomes[k].name, (int)table.counts[k]);
        }
    }
    if (used > 0 && used < sizeof kinds) {
        snprintf(kinds + used, sizeof kinds - used, ")");
    }
    static const char* const ending[] = {"", "  ending: stopped", "  ending: count reached",
                                         "  ending: failures in a row"};
    uint64_t ms = now - view.startedAt;
    long long seconds = (long long)(ms / 1000);
    snprintf(text, capacity,
             "good %d  set aside %d%s  working %d  listed %d  %lld/h  %lld:%02lld:%02lld%s",
             (int)good, (int)setAside, kinds, (int)working,
             (int)(view.watch ? table.presentCount : table.count),
             ms > 0 ? good * 3600000LL / (long long)ms : 0, seconds / 3600, seconds / 60 % 60,
             seconds % 60, ending[table.ended]);
}

// The cells in the order they came (--watch: in their slots' order), and
// how many units are working.
static ScreenCell* MakeCells(StationView* view, const UnitTable& table, uint64_t now,
                             int32_t* count, int32_t* working) {
    ScreenCell* cells =
        static_cast<ScreenCell*>(calloc((size_t)table.count + 1, sizeof(ScreenCell)));
    *count = *working = 0;
    for (int32_t i = table.count - 1; cells != nullptr && i >= 0; i--) { // newest first
        *working += UnitWorkerRuns(table.units[i]);
        if (HasCell(*view, table.units[i], cells, *count)) {
            cells[(*count)++] = DescribeState(*view, table, table.units[i], now);
        }
    }
    for (int32_t i = 0; i < *count / 2; i++) { // in the order they came
        ScreenCell first = cells[i];
        cells[i] = cells[*count - 1 - i];
        cells[*count - 1 - i] = first;
    }
    if (view->watch && cells != nullptr) {
        KeepSlotOrder(view, cells, *count);
    }
    return cells;
}

ScreenCell* ViewCells(StationView* view, const UnitTable& table, uint64_t now, int32_t* count) {
    int32_t working = 0;
    return MakeCells(view, table, now, count, &working);
}

void ViewDraw(StationView* view, const UnitTable& table, uint64_t now) {
    if (!view->redrawing || (!view->changed && now - view->drawnAt < REDRAW_MS)) {
        return;
    }
    view->changed = false;
    view->drawnAt = now;
    int32_t count = 0, working = 0;
    ScreenCell* cells = MakeCells(view, table, now, &count, &working);
    char summary[320];
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
