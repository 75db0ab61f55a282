#include "platform/console_backlog.h"

#include <cstdlib>
#include <cstring>

bool ConsoleBacklogAdd(ConsoleBacklog* backlog, const char* bytes, size_t count, bool redraw) {
    // A redraw starts with a carriage return; a piece without one (the
    // wait display's cursor) belongs to the redraw before it.
    bool fromLineStart = backlog->redrawsStandAlone || (count > 0 && bytes[0] == '\r');
    bool extendsRedraw = redraw && backlog->endsInRedraw && !fromLineStart;
    size_t keep = backlog->count;
    if (redraw && fromLineStart && backlog->endsInRedraw &&
        backlog->count >= CONSOLE_BACKLOG_BEHIND) {
        keep = backlog->redrawAt; // the newer redraw says all the older one did
    }
    if (keep + count > backlog->capacity) {
        size_t capacity = backlog->capacity > 0 ? backlog->capacity : 256;
        while (capacity < keep + count) {
            capacity *= 2;
        }
        char* grown = static_cast<char*>(realloc(backlog->bytes, capacity));
        if (grown == nullptr) {
            return false;
        }
        backlog->bytes = grown;
        backlog->capacity = capacity;
    }
    if (count > 0) { // an empty backlog may have no bytes yet
        memcpy(backlog->bytes + keep, bytes, count);
    }
    backlog->redrawAt = redraw && !extendsRedraw ? keep : backlog->redrawAt;
    backlog->endsInRedraw = redraw;
    backlog->count = keep + count;
    return true;
}

void ConsoleBacklogTake(ConsoleBacklog* backlog, ConsoleBacklog* into) {
    ConsoleBacklog taken = *backlog;
    *backlog = *into;
    *into = taken;
    backlog->count = 0;
    backlog->endsInRedraw = false;
}
