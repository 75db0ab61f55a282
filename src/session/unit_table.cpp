#include "session/unit_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/shown_text.h"
#include "platform/platform.h"

bool UnitAdd(UnitTable* table, const char* listed) {
    if (table->count == table->capacity) {
        int32_t capacity = table->capacity > 0 ? 2 * table->capacity : 16;
        void* grown = realloc(table->units, (size_t)capacity * sizeof(Unit));
        if (grown == nullptr) {
            return false;
        }
        table->units = static_cast<Unit*>(grown);
        table->capacity = capacity;
    }
    size_t length = strlen(listed);
    char* name = static_cast<char*>(malloc(9 * length + 3));
    if (name == nullptr) {
        return false;
    }
    Unit* unit = &table->units[table->count++];
    *unit = Unit();
    unit->name = strcpy(name, listed);
    unit->number = ++table->numbered;
    unit->utf8 = name + length + 1;
    PlatformNarrowTextToUtf8(listed, unit->utf8, 4 * length + 1);
    unit->shown = unit->utf8 + 4 * length + 1;
    EscapeControls(listed, unit->shown, 4 * length + 1);
    return true;
}

static void FreeUnit(Unit* unit) {
    free(unit->name);
    free(unit->log);
    free(unit->message);
    free(unit->messageJson);
}

static void FreeNames(char** names, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        free(names[i]);
    }
    free(names);
}

bool UnitsBegin(UnitTable* table, char* const* names, int32_t count) {
    *table = UnitTable();
    table->allDone = true;
    bool room = true;
    for (int32_t i = 0; room && i < count; i++) {
        room = UnitAdd(table, names[i] != nullptr ? names[i] : "");
    }
    UnitsKeepLook(table, names, room ? count : 0); // a watch's first look
    return room;
}

void UnitsEnd(UnitTable* table) {
    for (int32_t i = 0; i < table->count; i++) {
        FreeUnit(&table->units[i]);
    }
    FreeNames(table->present, table->presentCount);
    free(table->units);
    *table = UnitTable();
}

Unit* UnitNumbered(UnitTable* table, int32_t number) {
    for (int32_t i = 0; i < table->count; i++) {
        if (table->units[i].number == number) {
            return &table->units[i];
        }
    }
    return nullptr;
}

bool UnitCount(UnitTable* table, const Unit& unit, const WatchLimits* limits) {
    const OutcomeKind& kind = Outcomes[unit.outcome];
    table->counts[unit.outcome]++;
    table->unrecorded += unit.recorded == RECORD_NOT_WRITTEN;
    table->stoppedSome = table->stoppedSome || unit.outcome == OUTCOME_STOPPED ||
                         unit.status == PlatformStoppedExitStatus;
    table->allDone = table->allDone && kind.done;
    table->highestStatus =
        (uint32_t)unit.status > table->highestStatus ? (uint32_t)unit.status : table->highestStatus;
    table->forget = true;
    if (limits == nullptr || table->ended != WATCH_GOES_ON) {
        return false;
    }
    table->flashedSoFar += kind.flashed;
    table->failuresInRow = kind.flashed ? 0 : table->failuresInRow + kind.failed;
    if (limits->count > 0 && table->flashedSoFar >= limits->count) {
        table->ended = WATCH_COUNT;
    } else if (limits->maxFailures > 0 && table->failuresInRow >= limits->maxFailures) {
        table->ended = WATCH_MAX_FAILURES;
    }
    return table->ended != WATCH_GOES_ON;
}

bool UnitsCouldReachCount(const UnitTable& table, const WatchLimits& limits, int32_t working) {
    return limits.count > 0 && table.flashedSoFar + working >= limits.count;
}

int UnitsExitStatus(const UnitTable& table, bool exitStatus, bool stopRequested) {
    return stopRequested && table.stoppedSome ? PlatformStoppedExitStatus
           : !exitStatus || table.allDone     ? 0
           : table.highestStatus != 0         ? (int)table.highestStatus
                                              : 1;
}

bool NameIn(char* const* names, int32_t count, const char* name) {
    for (int32_t i = 0; i < count; i++) {
        if (names[i] != nullptr && strcmp(names[i], name) == 0) {
            return true;
        }
    }
    return false;
}

bool UnitWorkerRuns(const Unit& unit) {
    return unit.state == UNIT_WORKING || unit.state == UNIT_REBOOTING;
}

// The newest unit of that name, or null.
static Unit* SlotUnit(const UnitTable& table, const char* name) {
    for (int32_t i = table.count - 1; i >= 0; i--) {
        if (strcmp(table.units[i].name, name) == 0) {
            return &table.units[i];
        }
    }
    return nullptr;
}

bool UnitBusy(const UnitTable& table, const char* name) {
    const Unit* unit = SlotUnit(table, name);
    return unit != nullptr && (unit->state == UNIT_WAITING || UnitWorkerRuns(*unit));
}

bool UnitMayStart(const UnitTable& table, const Unit& unit) {
    for (int32_t i = 0; i < table.count && &table.units[i] != &unit; i++) {
        if (UnitWorkerRuns(table.units[i]) && strcmp(table.units[i].name, unit.name) == 0) {
            return false;
        }
    }
    return unit.state == UNIT_WAITING;
}

void UnitsKeepLook(UnitTable* table, char* const* names, int32_t count) {
    char** kept = static_cast<char**>(calloc((size_t)count + 1, sizeof(char*)));
    for (int32_t i = 0; kept != nullptr && i < count; i++) {
        kept[i] = strdup(names[i] != nullptr ? names[i] : "");
    }
    FreeNames(table->present, table->presentCount);
    table->present = kept;
    table->presentCount = kept != nullptr ? count : 0;
    table->mostListed =
        table->presentCount > table->mostListed ? table->presentCount : table->mostListed;
}

void UnitsTakeLook(UnitTable* table, char* const* names, int32_t count,
                   void (*changed)(void* context, bool arrived, Unit* unit, const char* name),
                   void* context) {
    // What the slots hold after this look: the names listed, and those of
    // units that reboot.
    char** slots =
        static_cast<char**>(calloc((size_t)(count + table->presentCount) + 1, sizeof(char*)));
    if (slots == nullptr) {
        return; // (this look is lost; the next one sees the same changes)
    }
    int32_t slotCount = 0;
    for (int32_t i = 0; i < count; i++) {
        slots[slotCount++] = names[i] != nullptr ? names[i] : const_cast<char*>("");
    }
    for (int32_t i = 0; i < table->presentCount; i++) {
        const char* name = table->present[i];
        if (NameIn(names, count, name)) {
            continue;
        }
        Unit* unit = SlotUnit(*table, name);
        if (unit != nullptr && unit->state == UNIT_REBOOTING) {
            slots[slotCount++] = table->present[i];
            continue;
        }
        if (unit != nullptr && (unit->state == UNIT_WAITING || unit->state == UNIT_WORKING)) {
            unit->left = true;
        }
        table->forget = true; // its cell goes empty
        changed(context, false, unit, name);
    }
    for (int32_t i = 0; i < count; i++) {
        const char* name = names[i] != nullptr ? names[i] : "";
        bool seenBefore =
            NameIn(names, i, name) || NameIn(table->present, table->presentCount, name);
        if (!seenBefore && UnitAdd(table, name)) {
            table->forget = true; // it takes its frontend's cell
            changed(context, true, &table->units[table->count - 1], name);
        }
    }
    UnitsKeepLook(table, slots, slotCount);
    free(slots);
}

void UnitsForget(UnitTable* table) {
    if (!table->forget) {
        return;
    }
    table->forget = false;
    int32_t empty = 0;
    for (int32_t i = table->count - 1; i >= 0; i--) { // newest first
        Unit* unit = &table->units[i];
        bool newer = false;
        for (int32_t j = i + 1; j < table->count && !newer; j++) {
            newer = strcmp(table->units[j].name, unit->name) == 0;
        }
        bool keep = unit->state != UNIT_ENDED && unit->state != UNIT_REFUSED;
        if (!keep && !newer && NameIn(table->present, table->presentCount, unit->name)) {
            keep = true; // in the fixture: to be taken out
        } else if (!keep && !newer) {
            keep = empty++ < table->mostListed; // an empty slot
        }
        if (keep) {
            continue;
        }
        FreeUnit(unit);
        memmove(unit, unit + 1, (size_t)(table->count - i - 1) * sizeof(Unit));
        table->count--;
    }
}

bool UnitLogName(const char* stationLog, const char* started, int32_t k, char* out,
                 size_t capacity) {
    char stamp[24] = "";
    if (started != nullptr) {
        const char* t = started; // 2026-12-09T10:15:02+01:00
        snprintf(stamp, sizeof stamp, "-%.4s%.2s%.2s-%.2s%.2s%.2s", t, t + 5, t + 8, t + 11, t + 14,
                 t + 17);
    }
    const char* base = stationLog; // past the last separator
    for (const char* c = stationLog; *c != '\0'; c++) {
        base = *c == '/' || *c == '\\' ? c + 1 : base;
    }
    const char* dot = strrchr(base, '.');
    if (dot == nullptr || dot == base) {
        dot = stationLog + strlen(stationLog);
    }
    int length = snprintf(out, capacity, "%.*s%s-%d%s", (int)(dot - stationLog), stationLog, stamp,
                          (int)k, dot);
    return length > 0 && (size_t)length < capacity;
}
