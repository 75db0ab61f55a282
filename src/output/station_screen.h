// A station's screen on a terminal: a summary line, then a board of tiles,
// one per slot, that fills the window; where the window is too small for
// tiles, one cell per frontend in as many columns as it is wide. Never more
// lines than the window has rows nor a line longer than it is wide, so
// that a redraw never pushes anything into the scrollback.
#pragma once

#include <cstdint>

// What a slot asks of the operator, by colour (and by word, and with
// NO_COLOR by the frame of its tile).
enum CellColour {
    CELL_PLAIN,     // waiting for its turn
    CELL_WORKING,   // amber: the transfer, the programming
    CELL_REBOOTING, // blue: it reboots, is verified
    CELL_GOOD,      // green: done, take it out
    CELL_BAD,       // red: set it aside
    CELL_GREY,      // stopped or not proven: never green
    CELL_EMPTY,     // dark: nothing in the slot
};

struct ScreenCell {
    const char* name;
    char state[128]; // parts apart by ", ": a tile shows each on a line
    CellColour colour;
    const char* utf8; // the name as UTF-8, and the unit's number, for the JSON
    int32_t number;
};

// A colour's word, as the JSON names a slot's state.
extern const char* const CellStateWords[];

// Draws the summary and the cells over the linesDrawn lines drawn before
// (the whole window anew after it was resized), cells that do not fit
// summed up in a last line; colours unless NO_COLOR is set. Returns the
// number of lines now drawn.
int32_t DrawStationScreen(const char* summary, const ScreenCell* cells, int32_t count,
                          int32_t linesDrawn);
