// A station's screen on a terminal, fed by its unit table: a summary and a
// cell per unit, drawn anew over what was drawn before; without a terminal,
// a line per unit at each tenth of its transfer.
#pragma once

#include <cstdint>

#include "output/station_screen.h"
#include "session/unit_table.h"

struct StationView {
    bool redrawing;     // the console shows the screen, drawn anew
    int32_t linesDrawn; // how many of its lines are on the console now
    bool changed;       // since they were drawn
    uint64_t drawnAt;
    uint64_t startedAt;
    bool watch;  // empty slots have cells; the summary lists the fixture
    bool verify; // units reboot and are verified
    // --watch: the slots' names in the order they were first seen, so that
    // each keeps its place on the screen all day.
    char** slots;
    int32_t slotCount;
};

// The view of a station that starts now; before the first message.
void ViewBegin(StationView* view, bool watch, bool verify, uint64_t now);
// Messages no longer clear its lines.
void ViewEnd(StationView* view);

// Draws the screen when something changed, or the time left has to count
// down; working: the units being flashed.
void ViewDraw(StationView* view, const UnitTable& table, uint64_t now);

// The cells as the board shows them, in their slots' order (count of
// them), for the JSON; null when memory ran out. The caller frees them.
ScreenCell* ViewCells(StationView* view, const UnitTable& table, uint64_t now, int32_t* count);

// Without a terminal, a line at each tenth of the unit's transfer.
void ViewProgress(const StationView& view, Unit* unit);
