#include "session/station.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/firmware_image.h"
#include "output/history.h"
#include "output/json.h"
#include "output/log_line.h"
#include "output/shown_text.h"
#include "output/station_screen.h"
#include "output/text_builder.h"
#include "platform/platform.h"
#include "sdk/sdk_binding.h"
#include "session/command_line.h"

static const char* const Tag = "station";

enum {
    WORKER_ARGUMENTS_MAX = 14 + WORKER_OPTIONS_MAX, // with the station's own and the end
    NAME_MAX_UTF8 = 4 * MESSAGE_BUFFER_SIZE,
    READ_STEP_MS = 200,
    WORKERS_MAX = 256, // at once
    REDRAW_MS = 1000,  // the time left counts down at least this often
    LOOK_MS = 1000,    // --watch: how often the fixture is looked at
    WATCHING_MS = 10000,
};

enum FrontendState { WAITING, RUNNING, ENDED, REFUSED };

// (verified and unverified only where --verify asks for them)
// (gone: taken out after the station listed it, before its worker found it;
// no failure of the line)
static const char* const Outcomes[] = {"flashed", "current", "refused",  "declined",  "failed",
                                       "stopped", "gone",    "verified", "unverified"};
enum { OUTCOMES_ALWAYS = 7, OUTCOMES = sizeof Outcomes / sizeof Outcomes[0] };

// One unit: a listed frontend and the worker that flashes it.
struct Frontend {
    char* name;     // as the SDK listed it, and behind it
    char* utf8;     // the same in UTF-8, and
    char* shown;    // as the log and the screen show it, in one allocation
    int32_t number; // of the station's units, from 1 in the order they came
    int32_t listed;
    FrontendState state;
    PlatformWorker* worker;
    bool stopAsked;
    char* log; // its worker's
    char started[32];
    // What the worker has said so far: the line it is writing, and the
    // newest values of the lines before.
    Builder line;
    long long percent;
    long long secondsLeft;
    long long shownTenth;
    long long queryAt; // when the worker's next status query comes (ms), during the wait
    char lastStatus[40];
    FlashReport seen; // of the frontend and the image, for a record of the station's
    bool haveResult;
    char outcome[16];
    int status;
    // How it ended, for the station's last event.
    char* message;       // the station's own, or
    char* messageJson;   // the worker's result's, as it wrote it
    const char* unitLog; // the log that tells how it went
    Recorded recorded;
};

// The station, passed to each of its functions.
struct Station {
    const StationPlan* plan;
    Frontend* frontends; // in listing (with --watch: arrival) order
    int32_t count;
    int32_t capacity;
    int32_t numbered; // units so far
    // How the units that ended so far ended, and each of them listed for
    // the last event.
    int32_t counts[OUTCOMES];
    int32_t unrecorded;
    uint32_t highestStatus;
    bool allDone;
    bool stoppedSome; // a stop that stopped nothing changes nothing
    UnitSpool units;
    bool forget; // a unit ended, or the fixture changed: see ForgetEnded
    // --watch: the names of the last look, how the looks go, and why the
    // watch ended (null while it goes on).
    char** present;
    int32_t presentCount;
    int32_t mostListed; // at once
    bool looksFail;
    uint64_t nextLook, nextWatching;
    const char* ended;
    int32_t good, failuresInRow;
    uint64_t startedAt;
    bool redrawing;     // the console shows one line per frontend, drawn anew
    int32_t linesDrawn; // how many of those are on the console now
    bool changed;       // since they were drawn
    uint64_t drawnAt;
    bool startsWait; // a start failed while workers ran: wait for one to end
    // Each image's SHA-256 as the station read it before any worker, for
    // the workers to flash those bytes or none (see ReadImagesOnce).
    char imageSha256s[FLASH_IMAGES_MAX * 65];
    char bytes[65536]; // what a worker wrote, as read
};

static void FreeStation(Station* s);

static void FreeFrontend(Frontend* f) {
    free(f->name);
    free(f->log);
    free(f->message);
    free(f->messageJson);
}

// A new unit of that name, waiting for its worker; false when there is no
// room for it.
static bool AddFrontend(Station* s, const char* listed) {
    if (s->count == s->capacity) {
        int32_t capacity = s->capacity > 0 ? 2 * s->capacity : 16;
        void* grown = realloc(s->frontends, (size_t)capacity * sizeof(Frontend));
        if (grown == nullptr) {
            return false;
        }
        s->frontends = static_cast<Frontend*>(grown);
        s->capacity = capacity;
    }
    size_t length = strlen(listed);
    char* name = static_cast<char*>(malloc(9 * length + 3));
    if (name == nullptr) {
        return false;
    }
    Frontend* f = &s->frontends[s->count++];
    *f = Frontend();
    f->name = strcpy(name, listed);
    f->number = ++s->numbered;
    f->utf8 = name + length + 1;
    PlatformNarrowTextToUtf8(listed, f->utf8, 4 * length + 1);
    f->shown = f->utf8 + 4 * length + 1;
    EscapeControls(listed, f->shown, 4 * length + 1);
    return true;
}

Station* StationTakeNames(char* const* names, int32_t count) {
    Station* s = static_cast<Station*>(calloc(1, sizeof(Station)));
    bool room = s != nullptr;
    if (room) {
        s->allDone = true;
    }
    for (int32_t i = 0; room && i < count; i++) {
        room = AddFrontend(s, names[i] != nullptr ? names[i] : "");
    }
    if (!room) {
        LogFailureLine(Tag, "Memory alloc failed");
        if (s != nullptr) {
            FreeStation(s);
        }
        return nullptr;
    }
    return s;
}

// How the units ended so far.
static StationCounts CountUnits(const Station* s) {
    size_t outcomeCount = s->plan->options->verifyMinutes > 0 ? OUTCOMES : OUTCOMES_ALWAYS;
    return StationCounts{Outcomes, s->counts, outcomeCount, s->unrecorded, 0, s->ended};
}

// --- The console -------------------------------------------------------------

// The outcomes a watch's limits count: a unit flashed, or one set aside.
static bool Flashed(const char* outcome) {
    return strcmp(outcome, "flashed") == 0 || strcmp(outcome, "verified") == 0;
}

static bool Failed(const char* outcome) {
    return strcmp(outcome, "failed") == 0 || strcmp(outcome, "unverified") == 0 ||
           strcmp(outcome, "refused") == 0;
}

// Done with, to be taken out: flashed, or already running the image's version.
static bool Done(const char* outcome) {
    return Flashed(outcome) || strcmp(outcome, "current") == 0;
}

static bool NameIn(char* const* names, int32_t count, const char* name) {
    for (int32_t i = 0; i < count; i++) {
        if (names[i] != nullptr && strcmp(names[i], name) == 0) {
            return true;
        }
    }
    return false;
}

// A unit's cell: what it is doing, how it ended, or (--watch) that its
// frontend was taken out.
static ScreenCell DescribeState(const Station* s, const Frontend& f) {
    ScreenCell cell = {f.shown, "", CELL_PLAIN};
    const size_t capacity = sizeof cell.state;
    long long toQuery = (f.queryAt - (long long)PlatformMilliseconds()) / 1000;
    bool ended = f.state == ENDED || f.state == REFUSED;
    if (ended && s->plan->options->watch && !NameIn(s->present, s->presentCount, f.name)) {
        snprintf(cell.state, capacity, "empty");
    } else if (ended) {
        bool done = Done(f.outcome);
        bool failed = Failed(f.outcome);
        cell.colour = done ? CELL_GOOD : failed ? CELL_BAD : CELL_PLAIN;
        if (done) {
            snprintf(cell.state, capacity, "%s, take it out",
                     strcmp(f.outcome, "current") == 0 ? "current" : "done");
        } else {
            snprintf(cell.state, capacity, failed ? "%s, status %d" : "%s", f.outcome, f.status);
        }
    } else if (f.state == WAITING) {
        snprintf(cell.state, capacity, "waiting");
    } else if (f.percent == 100 && toQuery >= 0) { // sent: the frontend is programming
        snprintf(cell.state, capacity, "programming, status in %lld:%02lld%s%s", toQuery / 60,
                 toQuery % 60, f.lastStatus[0] != '\0' ? ", " : "", f.lastStatus);
    } else if (f.percent == 100) {
        snprintf(cell.state, capacity, "programming%s%s", f.lastStatus[0] != '\0' ? ", " : "",
                 f.lastStatus);
    } else {
        snprintf(cell.state, capacity, "%3lld%%  %lld:%02lld left", f.percent, f.secondsLeft / 60,
                 f.secondsLeft % 60);
    }
    return cell;
}

// Whether a unit has a cell: with --all every unit; with --watch those
// waiting or being flashed, and the newest unit of each frontend that the
// watch keeps (the cells kept so far are shown[0..count)).
static bool HasCell(const Station* s, const Frontend& f, const ScreenCell* shown, int32_t count) {
    if (!s->plan->options->watch || f.state == WAITING || f.state == RUNNING) {
        return true;
    }
    for (int32_t i = 0; i < count; i++) {
        if (strcmp(shown[i].name, f.shown) == 0) {
            return false; // a newer unit has the frontend's cell
        }
    }
    return true;
}

// The summary line: counts, units an hour, time running.
static void Summarize(const Station* s, int32_t working, char* text, size_t capacity) {
    int32_t flashed = 0, verified = 0, failed = 0;
    for (size_t k = 0; k < OUTCOMES; k++) {
        flashed += strcmp(Outcomes[k], "flashed") == 0 ? s->counts[k] : 0;
        verified += strcmp(Outcomes[k], "verified") == 0 ? s->counts[k] : 0;
        failed += Failed(Outcomes[k]) ? s->counts[k] : 0;
    }
    uint64_t ms = PlatformMilliseconds() - s->startedAt;
    long long seconds = (long long)(ms / 1000);
    int32_t good = flashed + verified;
    snprintf(
        text, capacity,
        "flashed %d  verified %d  failed %d  working %d  listed %d  %lld/h  %lld:%02lld:%02lld",
        (int)flashed, (int)verified, (int)failed, (int)working,
        (int)(s->plan->options->watch ? s->presentCount : s->count),
        ms > 0 ? good * 3600000LL / (long long)ms : 0, seconds / 3600, seconds / 60 % 60,
        seconds % 60);
}

// The screen, drawn anew over what was drawn before.
static void DrawLines(Station* s) {
    if (!s->redrawing || (!s->changed && PlatformMilliseconds() - s->drawnAt < REDRAW_MS)) {
        return;
    }
    s->changed = false;
    s->drawnAt = PlatformMilliseconds();
    ScreenCell* cells = static_cast<ScreenCell*>(calloc((size_t)s->count + 1, sizeof(ScreenCell)));
    int32_t count = 0, working = 0;
    for (int32_t i = s->count - 1; cells != nullptr && i >= 0; i--) { // newest first
        working += s->frontends[i].state == RUNNING;
        if (HasCell(s, s->frontends[i], cells, count)) {
            cells[count++] = DescribeState(s, s->frontends[i]);
        }
    }
    for (int32_t i = 0; i < count / 2; i++) { // in the order they came
        ScreenCell first = cells[i];
        cells[i] = cells[count - 1 - i];
        cells[count - 1 - i] = first;
    }
    char summary[160];
    Summarize(s, working, summary, sizeof summary);
    s->linesDrawn = DrawStationScreen(summary, cells, count, s->linesDrawn);
    free(cells);
}

// Before a message: the lines go, the message takes their place, and they
// are drawn again below it.
static void ClearLines(Station* s) {
    if (s->redrawing && s->linesDrawn > 0) {
        char up[24];
        snprintf(up, sizeof up, "\r\x1b[%dA\x1b[J", (int)s->linesDrawn);
        PlatformConsoleWrite(up, strlen(up));
        s->linesDrawn = 0;
    }
}

// Without redrawing, a line at each tenth of the transfer.
static void ShowProgress(const Station* s, Frontend* f) {
    if (s->redrawing || f->percent / 10 <= f->shownTenth) {
        return;
    }
    f->shownTenth = f->percent / 10;
    char line[MESSAGE_BUFFER_SIZE];
    int length = snprintf(line, sizeof line, "Frontend [%s]: %lld%%\r\n", f->shown, f->percent);
    PlatformConsoleWrite(line, length < (int)sizeof line ? (size_t)length : sizeof line - 1);
}

// --- The workers -------------------------------------------------------------

// The station's log name with "-K" before its extension (a name that
// starts with its only dot has none). False when it does not fit.
// With --watch, the date and time the worker started come before K, so that
// no log of the day is overwritten: "-20261209-101502-17".
static bool WorkerLogName(const Station* s, const Frontend& f, int32_t k, char* out,
                          size_t capacity) {
    char stamp[24] = "";
    if (s->plan->options->watch) {
        const char* t = f.started; // 2026-12-09T10:15:02+01:00
        snprintf(stamp, sizeof stamp, "-%.4s%.2s%.2s-%.2s%.2s%.2s", t, t + 5, t + 8, t + 11, t + 14,
                 t + 17);
    }
    const char* name = s->plan->logPath;
    const char* base = name; // past the last separator
    for (const char* c = name; *c != '\0'; c++) {
        base = *c == '/' || *c == '\\' ? c + 1 : base;
    }
    const char* dot = strrchr(base, '.');
    if (dot == nullptr || dot == base) {
        dot = name + strlen(name);
    }
    int length =
        snprintf(out, capacity, "%.*s%s-%d%s", (int)(dot - name), name, stamp, (int)k, dot);
    return length > 0 && (size_t)length < capacity;
}

// What a worker is started with: the frontend, no question, JSON for the
// station to read, a log of its own that is never the station's, and the
// options the station passes on. All ASCII or UTF-8.
static void WorkerArguments(const Station* s, const Frontend& f, const char* device,
                            const char* arguments[WORKER_ARGUMENTS_MAX],
                            char (*numbers)[NUMBER_TEXT_MAX]) {
    size_t n = 0;
    auto add = [&](const char* argument) { arguments[n++] = argument; };
    add("--device");
    add(device);
    add("--yes");
    add("--json");
    add("--log");
    add(f.log);
    add("--station-log");
    add(s->plan->logPath);
    add("--station-images");
    add(s->imageSha256s);
    n += WorkerOptions(*s->plan->options, arguments + n, numbers);
    if (s->plan->options->watch && !s->plan->options->skipCurrent) {
        add("--skip-current"); // a flashed unit that comes back after its reboot
    }
    add("--");
    add(s->plan->transport);
    add(s->plan->waitTime);
    arguments[n] = nullptr;
}

// --- Every unit accounted for ---------------------------------------------------

// The record and the result of a unit the station ends itself (refused,
// lost, never started), as the station saw it: the frontend and the image
// its worker named, if it had one.

static StationUnit UnitOf(const Frontend& f) {
    return StationUnit{f.utf8,
                       f.seen.haveInfo,
                       f.seen.serial,
                       f.outcome,
                       f.status,
                       f.messageJson,
                       f.message != nullptr ? f.message : "",
                       f.unitLog,
                       f.recorded};
}

// A unit has ended: counted, and with --watch listed for the last event at
// once (so the watch lists its units in the order they ended). Its end may
// reach one of the watch's limits: then no worker starts after it, and
// those running finish.
static void UnitEnded(Station* s, const Frontend& f) {
    for (size_t k = 0; k < OUTCOMES; k++) {
        s->counts[k] += strcmp(f.outcome, Outcomes[k]) == 0;
    }
    s->unrecorded += f.recorded == RECORD_NOT_WRITTEN;
    s->stoppedSome = s->stoppedSome || strcmp(f.outcome, "stopped") == 0 ||
                     f.status == PlatformStoppedExitStatus;
    s->allDone = s->allDone && Done(f.outcome);
    s->highestStatus =
        (uint32_t)f.status > s->highestStatus ? (uint32_t)f.status : s->highestStatus;
    s->forget = true;
    const Options& options = *s->plan->options;
    if (!options.watch) {
        return;
    }
    JsonSpoolUnit(&s->units, UnitOf(f));
    if (s->ended != nullptr) {
        return;
    }
    bool good = Flashed(f.outcome);
    s->good += good;
    s->failuresInRow = good ? 0 : s->failuresInRow + Failed(f.outcome);
    if (options.count > 0 && s->good >= options.count) {
        s->ended = "count";
    } else if (options.maxFailures > 0 && s->failuresInRow >= options.maxFailures) {
        s->ended = "max-failures";
        LogFormat(Tag, "Stopped after %d failures in a row", (int)s->failuresInRow);
    }
}

static void AccountFor(Station* s, Frontend* f, const char* outcome, int status, const char* log,
                       const char* message) {
    f->state = f->state == WAITING ? REFUSED : ENDED; // nothing more to come of it
    snprintf(f->outcome, sizeof f->outcome, "%s", outcome);
    f->status = status;
    f->unitLog = log;
    f->message = strdup(message);
    RunRecord run = {};
    run.flash = f->seen;
    memcpy(run.started, f->started[0] != '\0' ? f->started : s->plan->run->started,
           sizeof run.started);
    run.transport = s->plan->run->transport;
    run.waitTime = s->plan->run->waitTime;
    run.haveFrontend = true;
    CleanUtf8(run.frontend, sizeof run.frontend, f->utf8);
    run.outcome = f->outcome;
    run.message = f->message != nullptr ? f->message : "";
    run.log = log;
    run.verifyAsked = s->plan->options->verifyMinutes > 0;
    RecordValues values;
    FillRecord(&values, run, false, false, status);
    f->recorded = s->plan->historyPath == nullptr
                      ? RECORD_NOT_ASKED
                      : RecordInHistory(s->plan->historyPath, s->plan->options->history.path,
                                        s->plan->recordProtectedPaths, RECORD_WAIT_WHATEVER_STOPS,
                                        values, Tag);
    JsonResult(values, run.message, f->recorded, f->utf8);
    UnitEnded(s, *f);
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

// The frontend's worker, running; false when it could not be started. While
// others run, a start that fails (for lack of processes, descriptors,
// memory) waits for one of them to end.
static bool StartWorker(Station* s, int32_t index, int32_t running) {
    Frontend* f = &s->frontends[index];
    LocalTimestamp(f->started);
    char log[4 * MESSAGE_BUFFER_SIZE];
    free(f->log);
    f->log = WorkerLogName(s, *f, f->number, log, sizeof log) ? strdup(log) : nullptr;
    bool named = f->log != nullptr;
    const char* arguments[WORKER_ARGUMENTS_MAX];
    char numbers[WORKER_OPTIONS_MAX][NUMBER_TEXT_MAX];
    WorkerArguments(s, *f, f->utf8, arguments, numbers); // whole: see RefuseNamesWorkersCannotTake
    uint32_t error = named ? 0 : PlatformPathTooLongError;
    f->worker = named ? PlatformStartWorker(arguments, &error) : nullptr;
    if (f->worker == nullptr && named && running > 0) {
        s->startsWait = true;
        return false;
    }
    ClearLines(s);
    if (f->worker == nullptr) {
        LogFailure(Tag, "Worker for frontend [%s] could not be started, error %d", f->shown,
                   (int)error);
        AccountFor(s, f, "failed", 1, s->plan->run->log, LogLastFailure());
        return false;
    }
    LogFormat(Tag, "Frontend [%s] is flashed by worker %d, log [%s]", f->shown, (int)f->number,
              f->log);
    f->unitLog = f->log;
    f->line = Builder{nullptr, 0, 0, true, true};
    f->state = RUNNING;
    f->shownTenth = -1;
    s->changed = true;
    return true;
}

// The worker's result: how it ended, and whether its record was written.
static void TakeResult(Frontend* f, const char* line) {
    f->haveResult = JsonReadWord(line, "outcome", f->outcome, sizeof f->outcome);
    char value[8];
    f->recorded = !JsonReadValue(line, "recorded", value, sizeof value) ? RECORD_NOT_ASKED
                  : strcmp(value, "true") == 0                          ? RECORD_WRITTEN
                  : strcmp(value, "false") == 0                         ? RECORD_NOT_WRITTEN
                                                                        : RECORD_NOT_ASKED;
    size_t capacity = strlen(line) + 1;
    free(f->messageJson);
    f->messageJson = static_cast<char*>(malloc(capacity));
    if (f->messageJson != nullptr && !JsonReadValue(line, "message", f->messageJson, capacity)) {
        free(f->messageJson);
        f->messageJson = nullptr;
    }
}

// One whole line the worker wrote.
static void TakeEvent(Station* s, Frontend* f, const char* line) {
    JsonForward(line, f->utf8);
    s->changed = true;
    char event[16];
    if (!JsonReadWord(line, "event", event, sizeof event)) {
        return;
    }
    NoteForRecord(&f->seen, event, line);
    if (strcmp(event, "progress") == 0) {
        JsonReadNumber(line, "percent", &f->percent);
        JsonReadNumber(line, "eta_s", &f->secondsLeft);
        ShowProgress(s, f);
    } else if (strcmp(event, "waiting") == 0) {
        long long seconds = 0;
        JsonReadNumber(line, "seconds_to_query", &seconds);
        f->queryAt = (long long)PlatformMilliseconds() + 1000 * seconds;
    } else if (strcmp(event, "status") == 0 &&
               !JsonReadWord(line, "text", f->lastStatus, sizeof f->lastStatus)) {
        f->lastStatus[0] = '\0';
    } else if (strcmp(event, "result") == 0) {
        TakeResult(f, line);
    }
}

static void TakeOutput(Station* s, Frontend* f, const char* bytes, size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (bytes[i] == '\n') {
            if (f->line.fits && f->line.out != nullptr) {
                TakeEvent(s, f, f->line.out);
            }
            f->line.length = 0; // (a line memory could not hold is lost alone)
            f->line.fits = true;
        } else {
            Put(&f->line, &bytes[i], 1);
        }
    }
}

static void EndWorker(Station* s, Frontend* f) {
    int status = PlatformEndWorker(f->worker);
    f->worker = nullptr;
    s->startsWait = false;
    free(f->line.out);
    f->line = Builder{};
    s->changed = true;
    ClearLines(s);
    if (!f->haveResult) {
        // It may hold part of the image. Its own status may be a signal's:
        // the unit counts as failed, with 1, unless the stop ended it.
        LogFailure(Tag, "Worker for frontend [%s] ended without a result, exit status %d", f->shown,
                   status);
        bool stopped = PlatformStopRequested() && status == PlatformStoppedExitStatus;
        AccountFor(s, f, stopped ? "stopped" : "failed", stopped ? status : 1, f->log,
                   LogLastFailure());
        return;
    }
    f->status = status;
    f->state = ENDED;
    if (f->recorded == RECORD_NOT_WRITTEN) {
        LogFailure(Tag, "Frontend [%s]: %s, but its record could not be written", f->shown,
                   f->outcome);
    } else {
        LogFormat(Tag, "Frontend [%s]: %s, exit status %d", f->shown, f->outcome, f->status);
    }
    UnitEnded(s, *f);
}

// --- The station ---------------------------------------------------------------

// Names listed more than once cannot be told apart by --device.
static void RefuseNamesListedTwice(Station* s) {
    for (int32_t i = 0; i < s->count; i++) {
        Frontend* f = &s->frontends[i];
        int32_t first = i;
        for (int32_t j = 0; j < s->count; j++) {
            bool same = strcmp(f->name, s->frontends[j].name) == 0;
            f->listed += same;
            first = same && j < first ? j : first;
        }
        if (f->listed > 1 && first == i) { // said once for all of them
            LogFailure(Tag, "Frontend [%s] is listed %d times, not flashed", f->shown,
                       (int)f->listed);
        }
        if (f->listed > 1) { // not flashed, like a frontend that could not be had
            AccountFor(s, f, "refused", 3, s->plan->run->log, LogLastFailure());
        }
    }
}

// A name the worker cannot be given whole is never flashed: cut short, or
// changed on its way (Windows: a code page's duplicate characters, invalid
// bytes), it could name another frontend, or two workers the same one.
static void RefuseNamesWorkersCannotTake(Station* s) {
    for (int32_t i = 0; i < s->count; i++) {
        Frontend* f = &s->frontends[i];
        if (f->state == WAITING && strlen(f->utf8) >= NAME_MAX_UTF8) {
            LogFailure(Tag, "Frontend name of %d bytes is too long, not flashed",
                       (int)strlen(f->name));
            AccountFor(s, f, "refused", 3, s->plan->run->log, LogLastFailure());
        } else if (f->state == WAITING && !PlatformNameReachesWorker(f->name, f->utf8)) {
            LogFailure(Tag, "Frontend [%s] cannot be named to a worker as listed, not flashed",
                       f->shown);
            AccountFor(s, f, "refused", 3, s->plan->run->log, LogLastFailure());
        }
    }
}

// Each image is read once, before any worker starts, and every unit of the
// station gets exactly those bytes: a worker reads the file itself but
// refuses bytes whose SHA-256 differs ("changed since the station checked
// it"). Handing over the hash rather than the bytes keeps each worker's
// read, checks and record as a run's on its own, and a day-long watch
// holds no copy of 32 images for its workers.
static void ReadImagesOnce(Station* s) {
    size_t length = 0;
    for (int k = 0; k < s->plan->imageCount; k++) {
        char sha256[65];
        if (!HashImageFile(s->plan->imagePaths[k], sha256)) {
            snprintf(sha256, sizeof sha256, "-"); // whatever a worker reads is not it
        }
        length += (size_t)snprintf(s->imageSha256s + length, sizeof s->imageSha256s - length,
                                   "%s%s", k > 0 ? "," : "", sha256);
    }
}

// Starts workers while there is room; the number running.
static int32_t StartWorkers(Station* s, int32_t running) {
    int32_t limit = s->plan->options->maxParallel > 0 ? s->plan->options->maxParallel : WORKERS_MAX;
    limit = limit < WORKERS_MAX ? limit : WORKERS_MAX;
    for (int32_t i = 0; i < s->count && running < limit && !s->startsWait && s->ended == nullptr &&
                        !PlatformStopRequested();
         i++) {
        if (s->frontends[i].state == WAITING && StartWorker(s, i, running)) {
            running++;
        }
    }
    return running;
}

// Passes a stop on to every worker, once each; true once every running
// worker has it.
static bool PassStopOn(Station* s) {
    bool allAsked = true;
    for (int32_t i = 0; i < s->count; i++) {
        Frontend* f = &s->frontends[i];
        if (f->state == RUNNING && !f->stopAsked) {
            f->stopAsked = PlatformStopWorker(f->worker);
        }
        allAsked = allAsked && (f->state != RUNNING || f->stopAsked);
    }
    return allAsked;
}

static int StationStatus(Station* s);
static void AccountForTheStopped(Station* s);

// A second stop, once every running worker has the first, ends the station
// sooner but never without what it owes: the units still waiting for their
// turn get their records, those being flashed are left to their workers
// (each stops in order and keeps its own record), and the last event lists
// every unit. Then the process ends at once.
static void StopAtSecondStop(Station* s) {
    if (!PlatformStopRequested() || !PassStopOn(s) || !PlatformSecondStopHeld()) {
        return;
    }
    bool leftToStop = false;
    for (int32_t i = 0; i < s->count; i++) {
        leftToStop =
            leftToStop || s->frontends[i].state == WAITING || s->frontends[i].state == RUNNING;
    }
    if (!leftToStop) {
        return; // the station ends in order all the same
    }
    if (s->plan->options->watch && s->ended == nullptr) {
        s->ended = "stopped";
    }
    AccountForTheStopped(s);
    for (int32_t i = 0; i < s->count; i++) {
        Frontend* f = &s->frontends[i];
        if (f->state == RUNNING) {
            f->state = ENDED;
            snprintf(f->outcome, sizeof f->outcome, "stopped");
            f->status = PlatformStoppedExitStatus;
            f->unitLog = f->log;
            f->message = strdup("Left to its worker by a second stop, which keeps its record");
            UnitEnded(s, *f);
        }
    }
    StationStatus(s);
    PlatformEndForSecondStop();
}

// Waits for output from the running workers, takes it, ends the finished.
static int32_t FollowWorkers(Station* s, int32_t running) {
    PlatformWorker* workers[WORKERS_MAX];
    int32_t indexes[WORKERS_MAX];
    size_t count = 0;
    for (int32_t i = 0; i < s->count && count < WORKERS_MAX; i++) {
        if (s->frontends[i].state == RUNNING) {
            workers[count] = s->frontends[i].worker;
            indexes[count++] = i;
        }
    }
    size_t which = 0;
    long got = PlatformReadWorkers(workers, count, READ_STEP_MS, s->bytes, sizeof s->bytes, &which);
    if (got > 0) {
        TakeOutput(s, &s->frontends[indexes[which]], s->bytes, (size_t)got);
    } else if (got == 0) {
        EndWorker(s, &s->frontends[indexes[which]]);
        running--;
    }
    return running;
}

// Those a stop or a watch's limit left without a turn: not flashed.
static void AccountForTheStopped(Station* s) {
    bool limit = s->ended != nullptr && strcmp(s->ended, "stopped") != 0;
    for (int32_t i = 0; i < s->count; i++) {
        if (s->frontends[i].state == WAITING) {
            AccountFor(s, &s->frontends[i], "stopped", limit ? 3 : PlatformStoppedExitStatus,
                       s->plan->run->log,
                       limit ? "The watch ended at its limit before this unit's turn, nothing was "
                               "sent to the frontend"
                             : "Stopped by the operator before flashing, nothing was sent to the "
                               "frontend");
        }
    }
}

// --- The watch -------------------------------------------------------------------

// Whether a unit of that name is waiting for its worker or being flashed:
// its frontend leaving and coming back (a reboot, say) is its own affair.
static bool Busy(const Station* s, const char* name) {
    for (int32_t i = s->count - 1; i >= 0; i--) {
        const Frontend& f = s->frontends[i];
        if ((f.state == WAITING || f.state == RUNNING) && strcmp(f.name, name) == 0) {
            return true;
        }
    }
    return false;
}

static void FreeNames(char** names, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        free(names[i]);
    }
    free(names);
}

// The names a look listed, kept: what the next look is held against.
static void KeepPresent(Station* s, char* const* names, int32_t count) {
    char** kept = static_cast<char**>(calloc((size_t)count + 1, sizeof(char*)));
    for (int32_t i = 0; kept != nullptr && i < count; i++) {
        kept[i] = strdup(names[i] != nullptr ? names[i] : "");
    }
    FreeNames(s->present, s->presentCount);
    s->present = kept;
    s->presentCount = kept != nullptr ? count : 0;
    s->mostListed = s->presentCount > s->mostListed ? s->presentCount : s->mostListed;
}

// What changed since the last look: one line each, and a unit for each
// frontend that arrived.
static void TakeLook(Station* s, char* const* names, int32_t count) {
    for (int32_t i = 0; i < s->presentCount; i++) {
        const char* name = s->present[i];
        if (!NameIn(names, count, name) && !Busy(s, name)) {
            ClearLines(s);
            LogFormat(Tag, "Frontend [%s] left", ShownText(name));
            JsonFixture("left", name);
            s->changed = s->forget = true; // its cell goes empty
        }
    }
    for (int32_t i = 0; i < count; i++) {
        const char* name = names[i] != nullptr ? names[i] : "";
        bool seenBefore = NameIn(names, i, name) || NameIn(s->present, s->presentCount, name);
        if (!seenBefore && !Busy(s, name) && AddFrontend(s, name)) {
            ClearLines(s);
            LogFormat(Tag, "Frontend [%s] arrived", ShownText(name));
            JsonFixture("arrived", s->frontends[s->count - 1].utf8);
            s->changed = s->forget = true; // it takes its frontend's cell
        }
    }
    KeepPresent(s, names, count);
}

// One look at the fixture, a short session of its own. An empty fixture is
// the normal state; a look that fails is logged once, until looks work
// again.
static void Look(Station* s) {
    int32_t errorWord = 0;
    SdkHandle handle = Sdk.fpLibraryInit(s->plan->transportCode, &errorWord);
    PlatformRetakeStop();
    if (errorWord != 0 || handle == SDK_INVALID_HANDLE) {
        if (!s->looksFail) {
            ClearLines(s);
            LogFormat(Tag, "Looking for frontends failed, errorcode = %d, trying again", errorWord);
        }
        s->looksFail = true;
        if (handle != SDK_INVALID_HANDLE) {
            Sdk.fpLibraryExit(handle);
        }
        return;
    }
    s->looksFail = false;
    int32_t count = 0;
    char** names = Sdk.fpGetDeviceList(handle, &count);
    bool listed = names != nullptr && count > 0;
    TakeLook(s, names, listed ? count : 0);
    if (listed) {
        Sdk.fpFreeDeviceList(handle, count, names);
    }
    Sdk.fpLibraryExit(handle);
    RefuseNamesWorkersCannotTake(s);
}

void StationEndsUnlisted(const Options& options, int status, const char* message) {
    int32_t none[OUTCOMES] = {};
    size_t outcomeCount = options.verifyMinutes > 0 ? OUTCOMES : OUTCOMES_ALWAYS;
    JsonStation(StationCounts{Outcomes, none, outcomeCount, 0, status, nullptr}, nullptr, message);
}

// The station's last event, one entry per unit: with --all in listing
// order (a watch has listed each as it ended).
static void ListUnits(Station* s, const StationCounts& counts) {
    for (int32_t i = 0; !s->plan->options->watch && i < s->count; i++) {
        JsonSpoolUnit(&s->units, UnitOf(s->frontends[i]));
    }
    JsonStation(counts, &s->units, nullptr);
}

// --watch: every ten seconds, the counts so far.
static void ReportWatching(Station* s, int32_t running) {
    uint64_t now = PlatformMilliseconds();
    if (now < s->nextWatching) {
        return;
    }
    s->nextWatching = now + WATCHING_MS;
    JsonWatching(CountUnits(s), s->presentCount, running);
}

// A watch keeps a unit that ended only while it has a cell: while its
// frontend is in the fixture, to be taken out, and after that as an empty
// slot, until a new unit comes under its name or more slots are empty than
// the fixture ever held frontends at once. So the table never holds more
// than the fixture does, however long the day.
static void ForgetEnded(Station* s) {
    if (!s->forget) {
        return;
    }
    s->forget = false;
    int32_t empty = 0;
    for (int32_t i = s->count - 1; i >= 0; i--) { // newest first
        Frontend* f = &s->frontends[i];
        bool newer = false;
        for (int32_t j = i + 1; j < s->count && !newer; j++) {
            newer = strcmp(s->frontends[j].name, f->name) == 0;
        }
        bool keep = f->state != ENDED && f->state != REFUSED; // waiting or being flashed
        if (!keep && !newer && NameIn(s->present, s->presentCount, f->name)) {
            keep = true; // in the fixture: to be taken out
        } else if (!keep && !newer) {
            keep = empty++ < s->mostListed; // an empty slot
        }
        if (keep) {
            continue;
        }
        FreeFrontend(f);
        memmove(f, f + 1, (size_t)(s->count - i - 1) * sizeof(Frontend));
        s->count--;
    }
}

// Looks at least once a second and flashes each frontend that arrives,
// until a stop or a limit ends the watch; then the running workers finish.
// The first look was the run's listing: its frontends are the first units.
static void Watch(Station* s) {
    char** first = static_cast<char**>(calloc((size_t)s->count + 1, sizeof(char*)));
    for (int32_t i = 0; first != nullptr && i < s->count; i++) {
        first[i] = s->frontends[i].name;
    }
    KeepPresent(s, first, first != nullptr ? s->count : 0);
    free(first);
    s->nextLook = PlatformMilliseconds() + LOOK_MS;
    int32_t running = StartWorkers(s, 0);
    while (running > 0 || (s->ended == nullptr && !PlatformStopRequested())) {
        ForgetEnded(s);
        StopAtSecondStop(s);
        if (PlatformStopRequested()) {
            PassStopOn(s);
        } else if (s->ended == nullptr && PlatformMilliseconds() >= s->nextLook) {
            Look(s);
            s->nextLook = PlatformMilliseconds() + LOOK_MS;
        }
        DrawLines(s);
        ReportWatching(s, running);
        running = StartWorkers(s, running);
        if (running > 0) {
            running = FollowWorkers(s, running);
        } else if (s->ended == nullptr && !PlatformStopRequested()) {
            PlatformSleep(READ_STEP_MS);
        }
    }
    s->ended = s->ended != nullptr ? s->ended : "stopped";
}

// --all: every unit listed, at most --max-parallel at once.
static void FlashAll(Station* s) {
    int32_t running = StartWorkers(s, 0);
    while (running > 0) {
        DrawLines(s);
        StopAtSecondStop(s);
        if (PlatformStopRequested()) {
            PassStopOn(s);
        }
        running = StartWorkers(s, FollowWorkers(s, running));
    }
}

static int StationStatus(Station* s) {
    StationCounts units = CountUnits(s);
    units.status = PlatformStopRequested() && s->stoppedSome     ? PlatformStoppedExitStatus
                   : !s->plan->options->exitStatus || s->allDone ? 0
                   : s->highestStatus != 0                       ? (int)s->highestStatus
                                                                 : 1;
    ListUnits(s, units);
    return units.status;
}

static void FreeStation(Station* s) {
    for (int32_t i = 0; i < s->count; i++) {
        FreeFrontend(&s->frontends[i]);
    }
    FreeNames(s->present, s->presentCount);
    JsonSpoolClose(&s->units);
    free(s->frontends);
    free(s);
}

int RunStation(Station* s, const StationPlan& plan) {
    if (s == nullptr) { // no room for the list
        StationEndsUnlisted(*plan.options, 1, LogLastFailure());
        return 1;
    }
    s->plan = &plan;
    s->startedAt = PlatformMilliseconds();
    JsonSpoolOpen(&s->units); // before any worker: none inherits it
    s->redrawing = PlatformConsoleRedrawsLines();
    ReadImagesOnce(s);
    RefuseNamesListedTwice(s);
    RefuseNamesWorkersCannotTake(s);
    PlatformHoldSecondStop(); // not before every worker has the first
    PlatformFlashBegins();    // awake, and the session kept, for every worker
    if (plan.options->watch) {
        Watch(s);
    } else {
        FlashAll(s);
    }
    PlatformFlashEnds();
    AccountForTheStopped(s);
    DrawLines(s);
    int status = StationStatus(s);
    FreeStation(s);
    return status;
}
