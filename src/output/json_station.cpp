// What a station adds to the JSON: its workers' events passed on with the
// unit they are about, the fixture's changes, the counts as it goes, and
// its last event with every unit.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/json.h"
#include "output/json_line.h"
#include "platform/platform.h"

void JsonForward(const char* line, const JsonUnit& unit) {
    // {"event":"NAME" then the rest: every line of ours starts so.
    static const char start[] = "{\"event\":\"";
    if (!JsonOn() || strncmp(line, start, sizeof start - 1) != 0) {
        return;
    }
    const char* name = line + sizeof start - 1;
    const char* rest = strchr(name, '"');
    // Only what is about the unit: its own start and listing are the
    // station's already.
    static const char* const unitEvents[] = {"image",   "frontend", "progress", "status",
                                             "waiting", "verify",   "retry",    "result"};
    bool aboutTheUnit = false;
    for (const char* event : unitEvents) {
        aboutTheUnit = aboutTheUnit || (rest != nullptr && (size_t)(rest - name) == strlen(event) &&
                                        strncmp(name, event, strlen(event)) == 0);
    }
    if (!aboutTheUnit) {
        return;
    }
    // The frontend right after the event, named whole: a result's own
    // column may be cut short, or null where the worker did not find it.
    JsonLine out;
    out.b = Builder{nullptr, 0, 0, true, true};
    Put(&out.b, line, (size_t)(rest + 1 - line));
    LineAbout(&out, unit);
    static const char column[] = ",\"frontend\":";
    const char* named = strstr(rest + 1, column);
    const char* after = named != nullptr ? LineSkipValue(named + sizeof column - 1) : nullptr;
    if (after != nullptr) {
        Put(&out.b, rest + 1, (size_t)(named - rest - 1));
        PutText(&out.b, after);
    } else {
        PutText(&out.b, rest + 1);
    }
    PutText(&out.b, "\n");
    if (out.b.fits) {
        LineWrite(out.b.out, out.b.length);
    }
    free(out.b.out);
}

void JsonFixture(const char* event, const JsonUnit& unit) {
    if (!JsonOn()) {
        return;
    }
    JsonLine line;
    LineBegin(&line, event, &unit);
    LineEnd(&line);
}

static void Counts(JsonLine* line, const StationCounts& counts) {
    for (int k = OUTCOME_FLASHED; k <= counts.lastCounted; k++) {
        LineNumber(line, Outcomes[k].name, counts.counts[k]);
    }
    LineNumber(line, "unrecorded", counts.unrecorded);
}

void JsonWatching(const StationCounts& counts, int32_t listed, int32_t working,
                  long long runningSeconds, const ScreenCell* slots, int32_t slotCount) {
    if (!JsonOn()) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "watching");
    Counts(&line, counts);
    LineNumber(&line, "listed", listed);
    LineNumber(&line, "working", working);
    LineNumber(&line, "running_s", runningSeconds);
    LineKey(&line, "slots");
    PutText(&line.b, "[");
    for (int32_t i = 0; i < slotCount; i++) {
        const ScreenCell& slot = slots[i];
        PutText(&line.b, i > 0 ? ",{\"frontend\":" : "{\"frontend\":");
        LinePutString(&line.b, slot.utf8);
        if (slot.colour != CELL_EMPTY) {
            LineNumber(&line, "unit", slot.number);
        }
        LineString(&line, "state", CellStateWords[slot.colour]);
        LineString(&line, "text", slot.state);
        PutText(&line.b, "}");
    }
    PutText(&line.b, "]");
    LineEnd(&line);
}

// One unit as the station's last event lists it, after a comma unless it
// is the first.
static void PutUnit(JsonLine* line, const StationUnit& unit, bool first) {
    PutText(&line->b, first ? "{\"frontend\":" : ",{\"frontend\":");
    LinePutString(&line->b, unit.frontend);
    LineNumber(line, "unit", unit.number);
    LineOptionalNumber(line, "serial", unit.haveSerial, unit.serial);
    LineString(line, "outcome", Outcomes[unit.outcome].name);
    LineNumber(line, "exit_status", unit.status);
    LineKey(line, "message");
    if (unit.messageJson != nullptr) {
        PutText(&line->b, unit.messageJson); // as the worker wrote it
    } else {
        LinePutString(&line->b, unit.message);
    }
    LineString(line, "log", unit.log);
    LineRecorded(line, unit.recorded);
    PutText(&line->b, "}");
}

void JsonSpoolOpen(UnitSpool* spool) {
    *spool = UnitSpool{JsonOn() ? PlatformOpenSpool() : nullptr, 0, false,
                       Builder{nullptr, 0, 0, true, true}, 0};
}

void JsonSpoolUnit(UnitSpool* spool, const StationUnit& unit) {
    if (!JsonOn()) {
        return;
    }
    JsonLine piece = {Builder{nullptr, 0, 0, true, true}};
    PutUnit(&piece, unit, spool->count == 0);
    if (!piece.b.fits) {
        free(piece.b.out);
        return; // (the unit is still counted in its outcome)
    }
    spool->count++;
    bool kept = spool->file != nullptr && !spool->fileFailed &&
                fwrite(piece.b.out, 1, piece.b.length, spool->file) == piece.b.length &&
                fflush(spool->file) == 0;
    if (kept) {
        spool->fileBytes += (long)piece.b.length;
    } else { // the file holds what it held whole; memory takes the rest
        spool->fileFailed = spool->file != nullptr;
        Put(&spool->memory, piece.b.out, piece.b.length);
    }
    free(piece.b.out);
}

void JsonSpoolClose(UnitSpool* spool) {
    if (spool->file != nullptr) {
        fclose(spool->file);
    }
    free(spool->memory.out);
    *spool = UnitSpool{};
}

// What the spool's file holds, out as it is read: the line goes out in
// pieces, and nothing else writes while a station ends.
static void WriteSpooled(const UnitSpool& spool) {
    if (spool.file == nullptr || fseek(spool.file, 0, SEEK_SET) != 0) {
        return;
    }
    char block[65536];
    for (long left = spool.fileBytes; left > 0;) {
        size_t step = left < (long)sizeof block ? (size_t)left : sizeof block;
        size_t got = fread(block, 1, step, spool.file);
        if (got == 0) {
            return;
        }
        LineWrite(block, got);
        left -= (long)got;
    }
}

void JsonStation(const StationCounts& counts, const UnitSpool* units, const char* message) {
    if (!JsonOn()) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "station");
    if (counts.ended != nullptr) {
        LineString(&line, "ended", counts.ended);
    }
    LineNumber(&line, "listed", units != nullptr ? units->count : 0);
    Counts(&line, counts);
    LineNumber(&line, "exit_status", counts.status);
    LineKey(&line, "units");
    PutText(&line.b, "[");
    if (!line.b.fits) {
        free(line.b.out);
        return;
    }
    LineWrite(line.b.out, line.b.length);
    line.b.length = 0;
    if (units != nullptr) {
        WriteSpooled(*units);
        if (units->memory.length > 0) {
            Put(&line.b, units->memory.out, units->memory.length);
        }
    }
    PutText(&line.b, "]");
    if (message != nullptr) {
        LineString(&line, "message", message);
    }
    LineEnd(&line);
}
