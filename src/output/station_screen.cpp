#include "output/station_screen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/text_builder.h"
#include "platform/platform.h"

enum { CELL_WIDTH = 39, NAME_WIDTH = 16 }; // at least, at most

// One cell, exactly width columns wide (the tool's names and states are
// counted a byte a column).
static void PutCell(Builder* b, const ScreenCell& cell, int width, int nameWidth, bool colour) {
    static const char* const colours[] = {"", "\x1b[32m", "\x1b[31m"};
    char text[512];
    nameWidth = width - 2 < nameWidth ? width - 2 : nameWidth;
    snprintf(text, sizeof text, "%-*.*s %s", nameWidth, nameWidth, cell.name, cell.state);
    size_t length = strlen(text) < (size_t)width ? strlen(text) : (size_t)width;
    bool coloured = colour && cell.colour != CELL_PLAIN;
    PutText(b, coloured ? colours[cell.colour] : "");
    Put(b, text, length);
    PutText(b, coloured ? "\x1b[0m" : "");
    for (size_t i = length; i < (size_t)width; i++) {
        Put(b, " ", 1);
    }
}

int32_t DrawStationScreen(const char* summary, const ScreenCell* cells, int32_t count,
                          int32_t linesDrawn) {
    int rows = 24, columns = 80;
    PlatformConsoleSize(&rows, &columns);
    rows = rows > 3 ? rows : 3;
    int width = columns < CELL_WIDTH ? columns : CELL_WIDTH;
    int perLine = (columns + 1) / (width + 1) > 0 ? (columns + 1) / (width + 1) : 1;
    width = perLine > 1 ? (columns + 1) / perLine - 1 : width; // the line filled
    width = width < (int)sizeof(ScreenCell::state) ? width : (int)sizeof(ScreenCell::state);
    int cellLines = (count + perLine - 1) / perLine;
    // The lines under the summary; the last one sums up what does not fit.
    int room = rows - 2;
    bool cut = cellLines > room;
    int shown = cut ? (room - 1) * perLine : count;
    bool colour = getenv("NO_COLOR") == nullptr;
    Builder b = {nullptr, 0, 0, true, true};
    char line[128];
    snprintf(line, sizeof line, linesDrawn > 0 ? "\r\x1b[%dA" : "\r", (int)linesDrawn);
    PutText(&b, line);
    PutText(&b, "\x1b[J");
    Put(&b, summary, strlen(summary) < (size_t)columns ? strlen(summary) : (size_t)columns);
    PutText(&b, "\r\n");
    int nameWidth = 0; // the longest name shown, the rest of the cell the state's
    for (int i = 0; i < shown; i++) {
        int length = (int)strlen(cells[i].name);
        nameWidth = length > nameWidth ? length : nameWidth;
    }
    nameWidth = nameWidth < NAME_WIDTH ? nameWidth : NAME_WIDTH;
    for (int i = 0; i < shown; i++) {
        PutCell(&b, cells[i], width, nameWidth, colour);
        PutText(&b, (i + 1) % perLine == 0 || i + 1 == shown ? "\r\n" : " ");
    }
    if (cut) {
        int32_t done = 0, failed = 0;
        for (int32_t i = shown; i < count; i++) {
            done += cells[i].colour == CELL_GOOD;
            failed += cells[i].colour == CELL_BAD;
        }
        snprintf(line, sizeof line, "and %d more: %d done, %d failed, %d working or waiting",
                 (int)(count - shown), (int)done, (int)failed,
                 (int)(count - shown - done - failed));
        PutText(&b, line);
        PutText(&b, "\r\n");
    }
    // Written as any message is, never dropped for a newer screen: each one
    // moves up over the one before it.
    if (b.fits) {
        PlatformConsoleWrite(b.out, b.length);
    }
    free(b.out);
    int32_t drawn = 1 + (shown + perLine - 1) / perLine + (cut ? 1 : 0);
    return drawn;
}
