// A station's screen on a terminal: a summary line, then one cell per
// frontend in as many columns as the window is wide, never more lines than
// it has rows nor a line longer than it is wide, so that a redraw never
// pushes anything into the scrollback.
#pragma once

#include <cstdint>

enum CellColour { CELL_PLAIN, CELL_GOOD, CELL_BAD };

struct ScreenCell {
    const char* name;
    char state[128]; // cut to the cell
    CellColour colour;
};

// Draws the summary and the cells over the linesDrawn lines drawn before,
// cells that do not fit summed up in a last line; colours unless NO_COLOR
// is set. Returns the number of lines now drawn.
int32_t DrawStationScreen(const char* summary, const ScreenCell* cells, int32_t count,
                          int32_t linesDrawn);
