#include "output/station_screen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/text_builder.h"
#include "platform/platform.h"

enum {
    CELL_WIDTH = 39, // at least, in the cells
    NAME_WIDTH = 16, // at most, in the cells
    TILE_WIDTH = 16, // at least, in the board
    TILE_HEIGHT = 4, // at least: a name, a gap, a state, its reason
};

// The columns of a text: UTF-8 on POSIX, a byte a column where it is not.
static int Columns(const char* text, size_t length) {
    int columns = 0;
    for (size_t i = 0; i < length; i++) {
        columns += ((unsigned char)text[i] & 0xC0) != 0x80;
    }
    return columns;
}

// At most width columns of text, cut at a whole character with "..." where
// it is wider; padded with spaces to width when pad is set.
static void PutFitted(Builder* b, const char* text, size_t length, int width, bool pad) {
    int columns = Columns(text, length);
    if (columns > width) {
        int keep = width > 3 ? width - 3 : 0;
        size_t at = 0;
        for (int kept = 0; at < length && kept <= keep; at++) {
            kept += ((unsigned char)text[at] & 0xC0) != 0x80;
            if (kept > keep) {
                break;
            }
        }
        Put(b, text, at);
        PutText(b, width > 3 ? "..." : "");
        columns = keep + (width > 3 ? 3 : 0);
    } else {
        Put(b, text, length);
    }
    for (int i = columns; pad && i < width; i++) {
        Put(b, " ", 1);
    }
}

// --- The cells, where tiles do not fit -----------------------------------------

// One cell, exactly width columns wide.
static void PutCell(Builder* b, const ScreenCell& cell, int width, int nameWidth, bool colour) {
    bool good = cell.colour == CELL_GOOD, bad = cell.colour == CELL_BAD;
    char text[512];
    nameWidth = width - 2 < nameWidth ? width - 2 : nameWidth;
    snprintf(text, sizeof text, "%-*.*s %s", nameWidth, nameWidth, cell.name, cell.state);
    PutText(b, colour && good ? "\x1b[32m" : colour && bad ? "\x1b[31m" : "");
    PutFitted(b, text, strlen(text), width, true);
    PutText(b, colour && (good || bad) ? "\x1b[0m" : "");
}

static int DrawCells(Builder* b, const ScreenCell* cells, int32_t count, int rows, int columns,
                     bool colour) {
    int width = columns < CELL_WIDTH ? columns : CELL_WIDTH;
    int perLine = (columns + 1) / (width + 1) > 0 ? (columns + 1) / (width + 1) : 1;
    width = perLine > 1 ? (columns + 1) / perLine - 1 : width; // the line filled
    width = width < (int)sizeof(ScreenCell::state) ? width : (int)sizeof(ScreenCell::state);
    int cellLines = (count + perLine - 1) / perLine;
    // The lines under the summary; the last one sums up what does not fit.
    int room = rows - 2;
    bool cut = cellLines > room;
    int shown = cut ? (room - 1) * perLine : count;
    int nameWidth = 0; // the longest name shown, the rest of the cell the state's
    for (int i = 0; i < shown; i++) {
        int length = (int)strlen(cells[i].name);
        nameWidth = length > nameWidth ? length : nameWidth;
    }
    nameWidth = nameWidth < NAME_WIDTH ? nameWidth : NAME_WIDTH;
    for (int i = 0; i < shown; i++) {
        PutCell(b, cells[i], width, nameWidth, colour);
        PutText(b, (i + 1) % perLine == 0 || i + 1 == shown ? "\x1b[K\r\n" : " ");
    }
    if (cut) {
        int32_t done = 0, failed = 0;
        for (int32_t i = shown; i < count; i++) {
            done += cells[i].colour == CELL_GOOD;
            failed += cells[i].colour == CELL_BAD;
        }
        char line[128];
        snprintf(line, sizeof line, "and %d more: %d done, %d failed, %d working or waiting",
                 (int)(count - shown), (int)done, (int)failed,
                 (int)(count - shown - done - failed));
        PutFitted(b, line, strlen(line), columns, false);
        PutText(b, "\x1b[K\r\n");
    }
    return (shown + perLine - 1) / perLine + (cut ? 1 : 0);
}

// --- The board --------------------------------------------------------------------

const char* const CellStateWords[] = {"waiting",   "working", "rebooting", "done",
                                      "set aside", "stopped", "empty"};

// Background and text of each colour, chosen for contrast; and the frame
// each has without colour.
static const char* const TileColours[] = {
    "\x1b[30;47m", "\x1b[30;43m",  "\x1b[97;44m", "\x1b[30;42m",
    "\x1b[97;41m", "\x1b[30;100m", "\x1b[37;40m",
};
static const char TileFrames[] = {'.', '-', '~', '=', '#', ':', ' '};

// One line of a tile: text centred (a name on the left) in width columns.
static void PutTileLine(Builder* b, const ScreenCell& cell, const char* text, size_t length,
                        int width, bool colour, bool centred) {
    char frame = TileFrames[cell.colour];
    PutText(b, colour ? TileColours[cell.colour] : "");
    int inner = colour ? width - 2 : width - 4;
    inner = inner > 0 ? inner : 0;
    int columns = Columns(text, length) < inner ? Columns(text, length) : inner;
    int before = centred ? (inner - columns) / 2 : 0;
    Put(b, colour ? " " : &frame, 1);
    PutText(b, colour ? "" : " ");
    for (int i = 0; i < before; i++) {
        Put(b, " ", 1);
    }
    PutFitted(b, text, length, inner - before, true);
    PutText(b, colour ? "" : " ");
    Put(b, colour ? " " : &frame, 1);
    PutText(b, colour ? "\x1b[0m" : "");
}

// The tiles' grid for count slots in rows x columns: the number across
// that gives the largest tiles (a tile's height counting twice its width,
// as a character cell is); false when no grid has tiles large enough.
static bool ChooseGrid(int32_t count, int rows, int columns, int* across, int* width, int* height) {
    int best = 0;
    for (int n = 1; n <= count && n <= columns; n++) {
        int down = (int)((count + n - 1) / n);
        int w = (columns - (n - 1)) / n, h = (rows - 1 - (down - 1)) / down;
        int size = w < 2 * h ? w : 2 * h;
        if (w >= TILE_WIDTH && h >= TILE_HEIGHT && size > best) {
            best = size;
            *across = n;
            *width = w;
            *height = h;
        }
    }
    return best > 0;
}

static int DrawBoard(Builder* b, const ScreenCell* cells, int32_t count, int across, int width,
                     int height, bool colour) {
    int lines = 0;
    for (int32_t top = 0; top < count; top += across) {
        for (int line = 0; line < height; line++) {
            for (int32_t i = top; i < top + across && i < count; i++) {
                const ScreenCell& cell = cells[i];
                // The name on top; the state's parts, one a line, in the middle.
                const char* part = cell.state;
                int first = (height - 1) / 2;
                for (int k = first; k < line && part != nullptr; k++) {
                    part = strstr(part, ", ");
                    part = part != nullptr ? part + 2 : nullptr;
                }
                const char* end = part != nullptr ? strstr(part, ", ") : nullptr;
                size_t length = part == nullptr  ? 0
                                : end != nullptr ? (size_t)(end - part)
                                                 : strlen(part);
                bool isName = line == 0, isState = line >= first && part != nullptr;
                const char* text = isName ? cell.name : isState ? part : "";
                length = isName ? strlen(cell.name) : isState ? length : 0;
                PutTileLine(b, cell, text, length, width, colour, !isName);
                PutText(b, i + 1 < top + across && i + 1 < count ? " " : "");
            }
            PutText(b, "\x1b[K\r\n");
            lines++;
        }
        if (top + across < count) {
            PutText(b, "\x1b[K\r\n"); // a line between the rows of tiles
            lines++;
        }
    }
    return lines;
}

int32_t DrawStationScreen(const char* summary, const ScreenCell* cells, int32_t count,
                          int32_t linesDrawn) {
    static int lastRows, lastColumns;
    int rows = 24, columns = 80;
    PlatformConsoleSize(&rows, &columns);
    rows = rows > 3 ? rows : 3;
    bool resized = linesDrawn > 0 && (rows != lastRows || columns != lastColumns);
    lastRows = rows;
    lastColumns = columns;
    bool colour = getenv("NO_COLOR") == nullptr;
    Builder b = {nullptr, 0, 0, true, true};
    char line[128];
    // Drawn over the lines before, each line cleared past its end, never
    // the whole at once: a screen read mid-redraw shows old lines or new
    // ones, never blank ones. After a resize the lines drawn before were
    // wrapped anew: the whole window goes.
    snprintf(line, sizeof line,
             resized          ? "\x1b[H\x1b[2J"
             : linesDrawn > 0 ? "\r\x1b[%dA"
                              : "\r",
             (int)linesDrawn);
    PutText(&b, line);
    PutFitted(&b, summary, strlen(summary), columns, false);
    PutText(&b, "\x1b[K\r\n");
    int across = 0, width = 0, height = 0;
    // (The board leaves a line free: the cursor's, under it.)
    int drawn = ChooseGrid(count, rows - 1, columns, &across, &width, &height)
                    ? DrawBoard(&b, cells, count, across, width, height, colour)
                    : DrawCells(&b, cells, count, rows, columns, colour);
    PutText(&b, "\x1b[J"); // what a longer screen before left below
    // Written as any message is, never dropped for a newer screen: each one
    // moves up over the one before it.
    if (b.fits) {
        PlatformConsoleWrite(b.out, b.length);
    }
    free(b.out);
    return 1 + drawn;
}
