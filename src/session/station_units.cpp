// A station's units as they end: the worker's JSON lines read for the
// screen and for a record, the ends counted, the records and results the
// station writes itself, and the last event.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/firmware_image.h"
#include "flash/image_signature.h"
#include "output/history.h"
#include "output/log_line.h"
#include "output/record_text.h"
#include "platform/platform.h"
#include "sdk/kovi_sdk.h"
#include "session/command_line.h"
#include "session/station_parts.h"

static StationUnit UnitOf(const Unit& unit) {
    return StationUnit{
        unit.utf8,    unit.number,  unit.seen.haveInfo, unit.seen.serial,
        unit.outcome, unit.status,  unit.messageJson,   unit.message != nullptr ? unit.message : "",
        unit.unitLog, unit.recorded};
}

void UnitEnded(Station* s, const Unit& unit) {
    const Options& options = *s->plan->options;
    bool limitReached = UnitCount(&s->table, unit, options.watch ? &s->limits : nullptr);
    if (!options.watch) {
        return;
    }
    JsonSpoolUnit(&s->spooled, UnitOf(unit));
    if (limitReached && s->table.ended == WATCH_MAX_FAILURES) {
        LogFormat(StationTag, "Stopped after %d failures in a row", (int)s->table.failuresInRow);
    }
}

void AccountFor(Station* s, Unit* unit, Outcome outcome, int status, const char* log,
                const char* message) {
    unit->state = unit->state == UNIT_WAITING ? UNIT_REFUSED : UNIT_ENDED; // nothing more to come
    unit->outcome = outcome;
    unit->status = status;
    unit->unitLog = log;
    unit->message = strdup(message);
    RunRecord run = {};
    run.flash = unit->seen;
    memcpy(run.started, unit->started[0] != '\0' ? unit->started : s->plan->run->started,
           sizeof run.started);
    run.transport = s->plan->run->transport;
    run.waitTime = s->plan->run->waitTime;
    run.haveFrontend = true;
    CleanUtf8(run.frontend, sizeof run.frontend, unit->utf8);
    run.outcome = unit->outcome;
    run.message = unit->message != nullptr ? unit->message : "";
    run.log = log;
    run.verifyAsked = s->plan->options->verifyMinutes > 0;
    run.station = s->plan->run->station;
    run.unit = unit->number;
    RecordValues values;
    FillRecord(&values, run, false, false, status);
    unit->recorded = s->plan->historyPath == nullptr
                         ? RECORD_NOT_ASKED
                         : RecordInHistory(s->plan->historyPath, s->plan->options->history.path,
                                           s->plan->recordProtectedPaths,
                                           RECORD_WAIT_WHATEVER_STOPS, values, StationTag);
    JsonUnit named = {unit->utf8, unit->number};
    JsonResult(values, run.message, unit->recorded, &named);
    UnitEnded(s, *unit);
}

// What the station keeps of a worker's event for a record of its own: the
// frontend's and the image's numbers, and how far the transfer got.
static void NoteForRecord(FlashReport* seen, const char* event, const char* line) {
    long long value = 0;
    if (strcmp(event, "frontend") == 0 && JsonReadNumber(line, "serial", &value)) {
        seen->haveInfo = true;
        seen->serial = (int32_t)value;
        seen->hwVersion = JsonReadNumber(line, "hw_version", &value) ? (uint16_t)value : 0;
        seen->swVersion = JsonReadNumber(line, "sw_version", &value) ? (uint16_t)value : 0;
    } else if (strcmp(event, "image") == 0 && JsonReadNumber(line, "firmware_ver", &value)) {
        seen->haveImage = true;
        seen->firmwareVer = (uint16_t)value;
        seen->devId = JsonReadNumber(line, "dev_id", &value) ? (uint16_t)value : 0;
        seen->firmwareSize = JsonReadNumber(line, "firmware_size", &value) ? (uint32_t)value : 0;
        if (!JsonReadWord(line, "sha256", seen->imageSha256, sizeof seen->imageSha256)) {
            seen->imageSha256[0] = '\0';
        }
    } else if (strcmp(event, "progress") == 0 && JsonReadNumber(line, "chunks_sent", &value)) {
        seen->chunksSent = (uint32_t)value;
    }
}

// The worker's result: how it ended, and whether its record was written.
static void TakeResult(Unit* unit, const char* line) {
    char outcome[16];
    unit->haveResult = JsonReadWord(line, "outcome", outcome, sizeof outcome);
    unit->outcome = unit->haveResult ? OutcomeNamed(outcome) : unit->outcome;
    char value[8];
    unit->recorded = !JsonReadValue(line, "recorded", value, sizeof value) ? RECORD_NOT_ASKED
                     : strcmp(value, "true") == 0                          ? RECORD_WRITTEN
                     : strcmp(value, "false") == 0                         ? RECORD_NOT_WRITTEN
                                                                           : RECORD_NOT_ASKED;
    size_t capacity = strlen(line) + 1;
    free(unit->messageJson);
    unit->messageJson = static_cast<char*>(malloc(capacity));
    if (unit->messageJson != nullptr &&
        !JsonReadValue(line, "message", unit->messageJson, capacity)) {
        free(unit->messageJson);
        unit->messageJson = nullptr;
    }
}

static void Rebooting(Unit* unit) {
    unit->state = unit->state == UNIT_WORKING && !unit->left ? UNIT_REBOOTING : unit->state;
}

void TakeWorkerLine(Station* s, Unit* unit, const char* line) {
    JsonForward(line, JsonUnit{unit->utf8, unit->number});
    s->view.changed = true;
    char event[16];
    if (!JsonReadWord(line, "event", event, sizeof event)) {
        return;
    }
    NoteForRecord(&unit->seen, event, line);
    if (strcmp(event, "progress") == 0) {
        JsonReadNumber(line, "percent", &unit->percent);
        JsonReadNumber(line, "eta_s", &unit->secondsLeft);
        ViewProgress(s->view, unit);
    } else if (strcmp(event, "waiting") == 0) {
        long long seconds = 0;
        JsonReadNumber(line, "seconds_to_query", &seconds);
        unit->queryAt = (long long)PlatformMilliseconds() + 1000 * seconds;
    } else if (strcmp(event, "status") == 0) {
        if (!JsonReadWord(line, "text", unit->lastStatus, sizeof unit->lastStatus)) {
            unit->lastStatus[0] = '\0';
        }
        long long code = 0;
        if (JsonReadNumber(line, "code", &code) && code == FIRMWARE_STATUS_PROGRAMMING_DONE) {
            Rebooting(unit); // its leaving and coming back are its own affair now
        }
    } else if (strcmp(event, "verify") == 0) {
        Rebooting(unit);
    } else if (strcmp(event, "retry") == 0) {
        long long tryNumber = 0, tries = 0;
        JsonReadNumber(line, "try", &tryNumber);
        JsonReadNumber(line, "of", &tries);
        snprintf(unit->tryText, sizeof unit->tryText, "try %lld of %lld", tryNumber, tries);
        unit->state = unit->state == UNIT_REBOOTING ? UNIT_WORKING : unit->state;
        unit->percent = 0;
        unit->secondsLeft = 0;
        unit->shownTenth = -1;
        unit->lastStatus[0] = '\0';
    } else if (strcmp(event, "result") == 0) {
        TakeResult(unit, line);
    }
}

void TakeWorkerEnd(Station* s, Unit* unit, int status) {
    s->view.changed = true;
    if (!unit->haveResult) {
        // It may hold part of the image. Its own status may be a signal's:
        // the unit counts as failed, with 1, unless the stop ended it.
        const char* why = LogFailure(
            StationTag, "Worker for frontend [%s] ended without a result, exit status %d",
            unit->shown, status);
        bool stopped = PlatformStopRequested() && status == PlatformStoppedExitStatus;
        AccountFor(s, unit, stopped ? OUTCOME_STOPPED : OUTCOME_FAILED,
                   stopped ? status : UNIT_STATUS_FAILED, unit->log, why);
        return;
    }
    unit->status = status;
    unit->state = UNIT_ENDED;
    const char* outcome = Outcomes[unit->outcome].name;
    if (unit->recorded == RECORD_NOT_WRITTEN) {
        LogFormat(StationTag, "Frontend [%s]: %s, but its record could not be written", unit->shown,
                  outcome);
    } else {
        LogFormat(StationTag, "Frontend [%s]: %s, exit status %d", unit->shown, outcome,
                  unit->status);
    }
    UnitEnded(s, *unit);
}

void AccountForTheStopped(Station* s) {
    bool limit = s->table.ended != WATCH_GOES_ON && s->table.ended != WATCH_STOPPED;
    for (int32_t i = 0; i < s->table.count; i++) {
        if (s->table.units[i].state == UNIT_WAITING) {
            AccountFor(s, &s->table.units[i], OUTCOME_STOPPED,
                       limit ? UNIT_STATUS_NOT_FLASHED : PlatformStoppedExitStatus,
                       s->plan->run->log,
                       limit ? "The watch ended at its limit before this unit's turn, nothing was "
                               "sent to the frontend"
                             : "Stopped by the operator before flashing, nothing was sent to the "
                               "frontend");
        }
    }
}

static const char* const WatchEndNames[] = {nullptr, "stopped", "count", "max-failures"};

StationCounts CountUnits(const Station& s, int status) {
    Outcome last = s.plan->options->verifyMinutes > 0 ? (Outcome)STATION_OUTCOMES_VERIFIED
                                                      : (Outcome)STATION_OUTCOMES;
    return StationCounts{s.table.counts, last, s.table.unrecorded, status,
                         WatchEndNames[s.table.ended]};
}

void ListUnits(Station* s, const StationCounts& counts) {
    for (int32_t i = 0; !s->plan->options->watch && i < s->table.count; i++) {
        JsonSpoolUnit(&s->spooled, UnitOf(s->table.units[i]));
    }
    JsonStation(counts, &s->spooled, nullptr);
}

// --- What no worker gets ---------------------------------------------------------

enum { NAME_MAX_UTF8 = 4 * MESSAGE_BUFFER_SIZE }; // what a worker's argument holds

// Names listed more than once cannot be told apart by --device.
void RefuseNamesListedTwice(Station* s) {
    UnitTable* table = &s->table;
    for (int32_t i = 0; i < table->count; i++) {
        Unit* unit = &table->units[i];
        int32_t first = i;
        for (int32_t j = 0; j < table->count; j++) {
            bool same = strcmp(unit->name, table->units[j].name) == 0;
            unit->timesListed += same;
            first = same && j < first ? j : first;
        }
        if (unit->timesListed > 1 && first == i) { // said once for all of them
            const char* why =
                LogFailure(StationTag, "Frontend [%s] is listed %d times, not flashed", unit->shown,
                           (int)unit->timesListed);
            AccountFor(s, unit, OUTCOME_REFUSED, UNIT_STATUS_NOT_FLASHED, s->plan->run->log, why);
        } else if (unit->timesListed > 1) { // not flashed, like a frontend that could not be had
            AccountFor(s, unit, OUTCOME_REFUSED, UNIT_STATUS_NOT_FLASHED, s->plan->run->log,
                       table->units[first].message); // its own name's, said at the first
        }
    }
}

// A name the worker cannot be given whole is never flashed: cut short, or
// changed on its way (Windows: a code page's duplicate characters, invalid
// bytes), it could name another frontend, or two workers the same one.
void RefuseNamesWorkersCannotTake(Station* s) {
    for (int32_t i = 0; i < s->table.count; i++) {
        Unit* unit = &s->table.units[i];
        if (unit->state == UNIT_WAITING && strlen(unit->utf8) >= NAME_MAX_UTF8) {
            const char* why =
                LogFailure(StationTag, "Frontend name of %d bytes is too long, not flashed",
                           (int)strlen(unit->name));
            AccountFor(s, unit, OUTCOME_REFUSED, UNIT_STATUS_NOT_FLASHED, s->plan->run->log, why);
        } else if (unit->state == UNIT_WAITING &&
                   !PlatformNameReachesWorker(unit->name, unit->utf8)) {
            const char* why = LogFailure(
                StationTag, "Frontend [%s] cannot be named to a worker as listed, not flashed",
                unit->shown);
            AccountFor(s, unit, OUTCOME_REFUSED, UNIT_STATUS_NOT_FLASHED, s->plan->run->log, why);
        }
    }
}

// Each image is read once, before any worker starts, and every unit of the
// station gets exactly those bytes: a worker reads the file itself but
// refuses bytes whose SHA-256 differs ("changed since the station checked
// it"). Handing over the hash rather than the bytes keeps each worker's
// read, checks and record as a run's on its own, and a day-long watch
// holds no copy of 32 images for its workers.
void ReadImagesOnce(Station* s) {
    size_t length = 0;
    for (int k = 0; k < s->plan->imageCount; k++) {
        char sha256[65];
        if (!HashImageFile(s->plan->imagePaths[k], sha256)) {
            snprintf(sha256, sizeof sha256, "-"); // whatever a worker reads is not it
        } else if (s->plan->keyCount > 0 && s->imagesRefused == nullptr) {
            // Signed, or no unit gets a worker; each worker checks again what it reads.
            char fingerprint[17];
            const char* failure = nullptr;
            if (CheckImageSignature(s->plan->imagePaths[k], sha256, s->plan->keys,
                                    s->plan->keyCount, fingerprint, &failure) != FLASH_GOES_ON) {
                s->imagesRefused = strdup(failure);
            }
        }
        length += (size_t)snprintf(s->imageSha256s + length, sizeof s->imageSha256s - length,
                                   "%s%s", k > 0 ? "," : "", sha256);
    }
}
