#include "session/station.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/json.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "session/command_line.h"

static const char* const Tag = "main";

enum {
    WORKER_ARGUMENTS_MAX = 12 + WORKER_OPTIONS_MAX, // with the station's own and the end
    LINE_MAX = 16384,
    NAME_MAX_UTF8 = 4 * MESSAGE_BUFFER_SIZE,
    READ_STEP_MS = 200,
    WORKERS_MAX = 256, // at once
    REDRAW_MS = 1000,  // the time left counts down at least this often
};

enum FrontendState { WAITING, RUNNING, ENDED, REFUSED };

// One listed frontend and the worker that flashes it.
struct Frontend {
    char* name; // as the SDK listed it
    int32_t listed;
    FrontendState state;
    PlatformWorker* worker;
    bool stopAsked;
    char log[4 * MESSAGE_BUFFER_SIZE];
    // What the worker has said so far: the line it is writing, and the
    // newest values of the lines before.
    char* line;
    size_t lineLength;
    long long percent;
    long long secondsLeft;
    long long shownTenth;
    bool haveResult;
    char outcome[16];
    int status;
};

static Frontend* Frontends;
static int32_t FrontendCount;
static const StationPlan* Plan;
static bool Redrawing;     // the console shows one line per frontend, drawn anew
static int32_t LinesDrawn; // how many of those are on the console now
static bool Changed;       // since they were drawn
static uint64_t DrawnAt;
static bool StartsWait; // a start failed while workers ran: wait for one to end

void StationTakeNames(char* const* names, int32_t count) {
    // The names side by side behind the table, in one allocation.
    size_t bytes = (size_t)count * sizeof(Frontend);
    for (int32_t i = 0; i < count; i++) {
        bytes += strlen(names[i] != nullptr ? names[i] : "") + 1;
    }
    Frontends = static_cast<Frontend*>(calloc(1, bytes));
    if (Frontends == nullptr) {
        LogFailureLine(Tag, "Memory alloc failed");
        return;
    }
    FrontendCount = count;
    char* name = reinterpret_cast<char*>(Frontends + count);
    for (int32_t i = 0; i < count; i++) {
        strcpy(name, names[i] != nullptr ? names[i] : "");
        Frontends[i].name = name;
        name += strlen(name) + 1;
    }
}

// --- The console -------------------------------------------------------------

static void DescribeState(const Frontend& f, char* text, size_t capacity) {
    if (f.state == ENDED || f.state == REFUSED) {
        snprintf(text, capacity, "%s", f.state == REFUSED ? "refused" : f.outcome);
    } else if (f.state == WAITING) {
        snprintf(text, capacity, "waiting for a worker");
    } else if (f.percent == 100) { // sent: the frontend is programming
        snprintf(text, capacity, "100%%  programming");
    } else {
        snprintf(text, capacity, "%3lld%%  %lld:%02lld left", f.percent, f.secondsLeft / 60,
                 f.secondsLeft % 60);
    }
}

// Every frontend's line, drawn anew over the ones drawn before.
static void DrawLines() {
    if (!Redrawing || (!Changed && PlatformMilliseconds() - DrawnAt < REDRAW_MS)) {
        return;
    }
    Changed = false;
    DrawnAt = PlatformMilliseconds();
    char up[16] = "\r";
    if (LinesDrawn > 0) {
        snprintf(up, sizeof up, "\r\x1b[%dA", (int)LinesDrawn);
    }
    PlatformConsoleRedraw(up, strlen(up));
    for (int32_t i = 0; i < FrontendCount; i++) {
        char state[64], line[MESSAGE_BUFFER_SIZE];
        DescribeState(Frontends[i], state, sizeof state);
        int length = snprintf(line, sizeof line, "\x1b[K%-24s %s\r\n", Frontends[i].name, state);
        PlatformConsoleRedraw(line, length < (int)sizeof line ? (size_t)length : sizeof line - 1);
    }
    LinesDrawn = FrontendCount;
}

// Before a message: the lines go, the message takes their place, and they
// are drawn again below it.
static void ClearLines() {
    if (Redrawing && LinesDrawn > 0) {
        char up[24];
        snprintf(up, sizeof up, "\r\x1b[%dA\x1b[J", (int)LinesDrawn);
        PlatformConsoleWrite(up, strlen(up));
        LinesDrawn = 0;
    }
}

// Without redrawing, a line at each tenth of the transfer.
static void ShowProgress(Frontend* f) {
    if (Redrawing || f->percent / 10 <= f->shownTenth) {
        return;
    }
    f->shownTenth = f->percent / 10;
    char line[MESSAGE_BUFFER_SIZE];
    int length = snprintf(line, sizeof line, "Frontend [%s]: %lld%%\r\n", f->name, f->percent);
    PlatformConsoleWrite(line, length < (int)sizeof line ? (size_t)length : sizeof line - 1);
}

// --- The workers -------------------------------------------------------------

// The station's log name with "-K" before its extension (a name that
// starts with its only dot has none). False when it does not fit.
static bool WorkerLogName(int32_t k, char* out, size_t capacity) {
    const char* name = LogFileName;
    const char* base = name; // past the last separator
    for (const char* c = name; *c != '\0'; c++) {
        base = *c == '/' || *c == '\\' ? c + 1 : base;
    }
    const char* dot = strrchr(base, '.');
    if (dot == nullptr || dot == base) {
        dot = name + strlen(name);
    }
    int length = snprintf(out, capacity, "%.*s-%d%s", (int)(dot - name), name, (int)k, dot);
    return length > 0 && (size_t)length < capacity;
}

// What a worker is started with: the frontend, no question, JSON for the
// station to read, a log of its own that is never the station's, and the
// options the station passes on. All ASCII or UTF-8.
static void WorkerArguments(const Frontend& f, const char* device,
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
    add(LogFileName);
    n += WorkerOptions(*Plan->options, arguments + n, numbers);
    add("--");
    add(Plan->transport);
    add(Plan->waitTime);
    arguments[n] = nullptr;
}

// The frontend's worker, running; false when it could not be started. While
// others run, a start that fails (for lack of processes, descriptors,
// memory) waits for one of them to end.
static bool StartWorker(int32_t index, int32_t running) {
    Frontend* f = &Frontends[index];
    char device[NAME_MAX_UTF8];
    PlatformNarrowTextToUtf8(f->name, device, sizeof device); // it fits: see RefuseNamesTooLong
    bool named = WorkerLogName(index + 1, f->log, sizeof f->log);
    const char* arguments[WORKER_ARGUMENTS_MAX];
    char numbers[WORKER_OPTIONS_MAX][NUMBER_TEXT_MAX];
    WorkerArguments(*f, device, arguments, numbers);
    uint32_t error = named ? 0 : PlatformPathTooLongError;
    f->line = named ? static_cast<char*>(malloc(LINE_MAX)) : nullptr;
    f->worker = f->line != nullptr ? PlatformStartWorker(arguments, &error) : nullptr;
    if (f->worker == nullptr && named && running > 0) {
        free(f->line);
        f->line = nullptr;
        StartsWait = true;
        return false;
    }
    ClearLines();
    if (f->worker == nullptr) {
        free(f->line);
        f->line = nullptr;
        LogFailure(Tag, "Worker for frontend [%s] could not be started, error %d", f->name,
                   (int)error);
        f->state = ENDED;
        snprintf(f->outcome, sizeof f->outcome, "failed");
        f->status = 1;
        return false;
    }
    LogFormat(Tag, "Frontend [%s] is flashed by worker %d, log [%s]", f->name, (int)index + 1,
              f->log);
    f->state = RUNNING;
    f->shownTenth = -1;
    Changed = true;
    return true;
}

// One whole line the worker wrote.
static void TakeEvent(Frontend* f, const char* line) {
    JsonForward(line, f->name);
    Changed = true;
    char event[16];
    if (!JsonReadWord(line, "event", event, sizeof event)) {
        return;
    }
    if (strcmp(event, "progress") == 0) {
        JsonReadNumber(line, "percent", &f->percent);
        JsonReadNumber(line, "eta_s", &f->secondsLeft);
        ShowProgress(f);
    } else if (strcmp(event, "result") == 0) {
        f->haveResult = JsonReadWord(line, "outcome", f->outcome, sizeof f->outcome);
    }
}

static void TakeOutput(Frontend* f, const char* bytes, size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (bytes[i] == '\n') {
            f->line[f->lineLength] = '\0';
            TakeEvent(f, f->line);
            f->lineLength = 0;
        } else if (f->lineLength + 1 < LINE_MAX) {
            f->line[f->lineLength++] = bytes[i];
        }
    }
}

static void EndWorker(Frontend* f) {
    f->status = PlatformEndWorker(f->worker);
    f->worker = nullptr;
    StartsWait = false;
    free(f->line);
    f->line = nullptr;
    f->state = ENDED;
    Changed = true;
    ClearLines();
    if (f->haveResult) {
        LogFormat(Tag, "Frontend [%s]: %s, exit status %d", f->name, f->outcome, f->status);
    } else {
        snprintf(f->outcome, sizeof f->outcome, "failed");
        LogFailure(Tag, "Worker for frontend [%s] ended without a result, exit status %d", f->name,
                   f->status);
    }
}

// --- The station ---------------------------------------------------------------

// Names listed more than once cannot be told apart by --device.
static void RefuseNamesListedTwice() {
    for (int32_t i = 0; i < FrontendCount; i++) {
        Frontend* f = &Frontends[i];
        int32_t first = i;
        for (int32_t j = 0; j < FrontendCount; j++) {
            bool same = strcmp(f->name, Frontends[j].name) == 0;
            f->listed += same;
            first = same && j < first ? j : first;
        }
        if (f->listed > 1) {
            f->state = REFUSED;
            snprintf(f->outcome, sizeof f->outcome, "refused");
            f->status = 3; // not flashed, like a frontend that could not be had
        }
        if (f->listed > 1 && first == i) { // said once for all of them
            LogFailure(Tag, "Frontend [%s] is listed %d times, not flashed", f->name,
                       (int)f->listed);
        }
    }
}

// A name the worker cannot be given whole is never flashed: cut short, it
// could name another frontend.
static void RefuseNamesTooLong() {
    for (int32_t i = 0; i < FrontendCount; i++) {
        Frontend* f = &Frontends[i];
        char device[NAME_MAX_UTF8];
        if (f->state == WAITING && !PlatformNarrowTextToUtf8(f->name, device, sizeof device)) {
            LogFailure(Tag, "Frontend name of %d bytes is too long, not flashed",
                       (int)strlen(f->name));
            f->state = REFUSED;
            snprintf(f->outcome, sizeof f->outcome, "refused");
            f->status = 3; // not flashed, like a frontend that could not be had
        }
    }
}

// Starts workers while there is room; the number running.
static int32_t StartWorkers(int32_t running) {
    int32_t limit = Plan->options->maxParallel > 0 ? Plan->options->maxParallel : FrontendCount;
    limit = limit < WORKERS_MAX ? limit : WORKERS_MAX;
    for (int32_t i = 0;
         i < FrontendCount && running < limit && !StartsWait && !PlatformStopRequested(); i++) {
        if (Frontends[i].state == WAITING && StartWorker(i, running)) {
            running++;
        }
    }
    return running;
}

// Passes a stop on to every worker, once each; once every running worker
// has it, a second stop may end the station.
static void PassStopOn() {
    bool allAsked = true;
    for (int32_t i = 0; i < FrontendCount; i++) {
        Frontend* f = &Frontends[i];
        if (f->state == RUNNING && !f->stopAsked) {
            f->stopAsked = PlatformStopWorker(f->worker);
            allAsked = allAsked && f->stopAsked;
        }
    }
    if (allAsked) {
        PlatformStopPassedOn();
    }
}

// Waits for output from the running workers, takes it, ends the finished.
static int32_t FollowWorkers(int32_t running) {
    PlatformWorker* workers[WORKERS_MAX];
    int32_t indexes[WORKERS_MAX];
    size_t count = 0;
    for (int32_t i = 0; i < FrontendCount && count < WORKERS_MAX; i++) {
        if (Frontends[i].state == RUNNING) {
            workers[count] = Frontends[i].worker;
            indexes[count++] = i;
        }
    }
    static char bytes[65536];
    size_t which = 0;
    long got = PlatformReadWorkers(workers, count, READ_STEP_MS, bytes, sizeof bytes, &which);
    if (got > 0) {
        TakeOutput(&Frontends[indexes[which]], bytes, (size_t)got);
    } else if (got == 0) {
        EndWorker(&Frontends[indexes[which]]);
        running--;
    }
    return running;
}

static int StationStatus() {
    // (verified and unverified only where --verify asks for them)
    static const char* const outcomes[] = {"flashed", "current", "refused",  "declined",
                                           "failed",  "stopped", "verified", "unverified"};
    enum { OUTCOMES_ALWAYS = 6, OUTCOMES = sizeof outcomes / sizeof outcomes[0] };
    size_t outcomeCount = Plan->options->verifyMinutes > 0 ? OUTCOMES : OUTCOMES_ALWAYS;
    int32_t counts[OUTCOMES] = {};
    uint32_t highest = 0;
    bool allFlashed = true;
    bool stoppedSome = false; // a stop that stopped nothing changes nothing
    for (int32_t i = 0; i < FrontendCount; i++) {
        const Frontend& f = Frontends[i];
        const char* outcome = f.state == WAITING ? "stopped" : f.outcome;
        stoppedSome =
            stoppedSome || strcmp(outcome, "stopped") == 0 || f.status == PlatformStoppedExitStatus;
        for (size_t k = 0; k < OUTCOMES; k++) {
            counts[k] += strcmp(outcome, outcomes[k]) == 0;
        }
        allFlashed =
            allFlashed && (strcmp(outcome, "flashed") == 0 || strcmp(outcome, "current") == 0 ||
                           strcmp(outcome, "verified") == 0);
        highest = (uint32_t)f.status > highest ? (uint32_t)f.status : highest;
    }
    int status = PlatformStopRequested() && stoppedSome     ? PlatformStoppedExitStatus
                 : Frontends == nullptr                     ? 1 // no room for the list
                 : !Plan->options->exitStatus || allFlashed ? 0
                 : highest != 0                             ? (int)highest
                                                            : 1;
    JsonStation(FrontendCount, outcomes, counts, outcomeCount, status);
    return status;
}

int RunStation(const StationPlan& plan) {
    Plan = &plan;
    Redrawing = PlatformConsoleRedrawsLines();
    RefuseNamesListedTwice();
    RefuseNamesTooLong();
    PlatformHoldSecondStop(); // not before every worker has the first
    PlatformFlashBegins();    // awake, and the session kept, for every worker
    int32_t running = StartWorkers(0);
    while (running > 0) {
        DrawLines();
        if (PlatformStopRequested()) {
            PassStopOn();
        }
        running = StartWorkers(FollowWorkers(running));
    }
    PlatformStopPassedOn();
    PlatformFlashEnds();
    DrawLines();
    return StationStatus();
}
