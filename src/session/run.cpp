#include "session/run.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/firmware_image.h"
#include "flash/flash_procedure.h"
#include "output/history.h"
#include "output/json.h"
#include "output/log_line.h"
#include "output/publish.h"
#include "output/record_text.h"
#include "output/shown_text.h"
#include "platform/platform.h"
#include "session/run_parts.h"
#include "session/station.h"
#include "session/verify.h"

static const char* const Tag = RunTag;

// The run a second stop or a log that cannot be opened ends: their
// handlers have no other way to it.
static Run* Current;

// The exit status --exit-status gives a run that got as far as a session.
static int OutcomeStatus(const RunRecord& record, int32_t errorState) {
    if (record.verdict == RunRecord::UNVERIFIED) {
        return 10 + FLASH_UNVERIFIED;
    }
    if (record.flash.flashed || record.flash.alreadyCurrent) {
        return 0;
    }
    if (record.flash.declined) {
        return 2;
    }
    if (!record.flashRan) {
        return errorState != 0 ? 3 : 0;
    }
    if (record.flashResult == FLASH_OLDER_REFUSED || record.flashResult == FLASH_SERIAL_MISMATCH ||
        record.flashResult == FLASH_NO_IMAGE_FITS || record.flashResult == FLASH_SERIAL_CLAIMED) {
        return 3; // not flashed, like a frontend that could not be had
    }
    return record.flashResult != FLASH_FLASHED ? 10 + record.flashResult : 0;
}

// The record and the JSON result of a run that ends with status, from the
// same values: one finishing time. A record that cannot be written changes
// nothing else.
static int EndRun(Run* run, int status, bool fatal) {
    RunRecord& record = run->record;
    // A flashed frontend's record has no message, unless its verify did not
    // prove it took; after several tries it says how the earlier ones ended.
    record.message = record.verdictWhy != nullptr                      ? record.verdictWhy
                     : record.flash.flashed || run->failure == nullptr ? ""
                                                                       : run->failure;
    static char withEarlier[4 * MESSAGE_BUFFER_SIZE];
    if (record.earlier != nullptr) {
        snprintf(withEarlier, sizeof withEarlier, "%s%s%s", record.message,
                 record.message[0] != '\0' ? "; " : "", record.earlier);
        record.message = withEarlier;
    }
    RecordValues values;
    FillRecord(&values, record, fatal, PlatformStopRequested(), status);
    Recorded recorded = RECORD_NOT_ASKED;
    if (run->historyPath != nullptr) {
        // A flashed frontend's record is kept whatever stops come: after
        // SUCCESS a stop changes nothing.
        RecordWait wait =
            record.flash.flashed ? RECORD_WAIT_WHATEVER_STOPS : RECORD_WAIT_UNTIL_STOP;
        recorded = RecordInHistory(run->historyPath, run->options->history.path,
                                   run->recordProtected, wait, values, Tag);
    }
    if (run->options->all) {
        StationEndsUnlisted(*run->options, status, record.message); // a station's last event
    } else {
        JsonResult(values, record.message, recorded, nullptr);
    }
    return status;
}

// A second stop ends the process at once: the log says so, and the history
// gets the record of a stopped run where that needs no waiting (not from a
// signal handler).
static void SayLastWords(bool inSignalHandler) {
    LogLineAtOnce(Tag, "Ended at once by a second stop, the frontend may hold part of the image");
    Run* run = Current;
    // A station's workers keep their own records.
    if (inSignalHandler || run->historyPath == nullptr || run->options->all) {
        return;
    }
    RunRecord& record = run->record;
    if (record.flashRan) {
        record.flashResult = FLASH_STOPPED;
    }
    record.message = run->failure != nullptr ? run->failure : "";
    RecordValues values;
    FillRecord(&values, record, false, true, PlatformStoppedExitStatus);
    AppendHistoryRecord(run->historyPath, run->recordProtected, RECORD_NO_WAIT, values);
}

// The log cannot be opened: a program that drives the run still hears how
// it ended.
static void EndWithoutLog(const char* failure) {
    Run* run = Current;
    if (run->options->all) {
        StationEndsUnlisted(*run->options, 1, failure);
        return;
    }
    RecordValues values;
    FillRecord(&values, run->record, true, PlatformStopRequested(), 1);
    JsonResult(values, failure, RECORD_NOT_ASKED, nullptr);
}

// --verify: the flashed frontend looked for in sessions of its own.
static void VerifyTheFlash(Run* run) {
    const RunRecord& record = run->record;
    if (run->options->verifyMinutes > 0 && record.flash.flashed &&
        run->session.chosenName != nullptr && !PlatformStopRequested()) {
        VerifyFlash(VerifyPlan{run->transport->code, run->session.chosenName, record.flash.serial,
                               record.flash.firmwareVer, run->options->verifyMinutes},
                    &run->record);
    }
}

// The end of a run that had the SDK or failed to: its exit status, its
// record and its result, and the log closed.
static int FinishRun(Run* run, Ending ending) {
    if (ending == END_FATAL || ending == END_FATAL_LISTING) {
        // The log format ends a run without a session here, with no
        // closing line.
        bool stopped = RunStopped(run);
        int status = EndRun(run, stopped ? PlatformStoppedExitStatus : 1, true);
        PublishEnd(Tag);
        return status;
    }
    // An interrupted run must never read as a finished one, nor a flashed
    // frontend as anything else.
    int status = PlatformStopRequested() && !run->record.flash.flashed ? PlatformStoppedExitStatus
                 : run->options->exitStatus ? OutcomeStatus(run->record, run->session.errorState)
                                            : 0;
    status = EndRun(run, status, false);
    PublishEnd(Tag);
    LogLine(Tag, "Close the log file");
    CloseLog();
    return status;
}

// --all, once the listing's session is closed. Each worker keeps its own
// record; the station those of the units it refused or lost, and of those a
// stop left without a turn.
static int FinishStation(Run* run) {
    RunStopped(run);
    char transport[2] = {run->transport->letter, '\0'};
    char waitTime[12];
    snprintf(waitTime, sizeof waitTime, "%u", run->waitTime);
    StationPlan plan = {};
    plan.options = run->options;
    plan.run = &run->record;
    plan.logPath = run->logPath;
    plan.transport = transport;
    plan.transportCode = run->transport->code;
    plan.waitTime = waitTime;
    plan.historyPath = run->historyPath;
    plan.recordProtectedPaths = run->recordProtected;
    plan.imagePaths = run->imagePaths;
    plan.imageCount = run->imageCount;
    plan.keys = run->keys;
    plan.keyCount = run->keyCount;
    int status = RunStation(run->station, plan);
    if (run->session.library != nullptr) { // a watch's looks used it
        PlatformFreeLibrary(run->session.library);
        run->session.library = nullptr;
    }
    PublishEnd(Tag);
    LogLine(Tag, "Close the log file");
    CloseLog();
    return status;
}

static StepResult Flash(Run* run) {
    if (run->session.errorState != 0) {
        // "occured": operators' scripts match the log as it has always been.
        LogLine(Tag, "Error occured, NOT flashing firmware");
        return STEP_END;
    }
    LogFormat(Tag, "Kestrune with waittime of %u milliseconds", run->waitTime);
    const Options& given = *run->options;
    FlashOptions options = {};
    options.waitTime = run->waitTime;
    options.imagePaths = run->imagePaths;
    options.imageCount = run->imageCount;
    options.frontendName = run->record.frontend;
    options.json = given.json || given.publish != nullptr;
    options.hashImage = run->historyPath != nullptr || options.json;
    options.answerYes = given.yes;
    options.allowOlder = given.allowOlder;
    options.expectSerialSet = given.expectSerialSet || run->retrySerialSet;
    options.expectSerial = given.expectSerialSet ? given.expectSerial : run->retrySerial;
    options.skipCurrent = given.skipCurrent;
    options.stationSha256s = given.stationImages;
    options.keys = run->keys;
    options.keyCount = run->keyCount;
    options.hashImage = options.hashImage || given.stationImages != nullptr || run->keyCount > 0;
    // A station's workers claim their unit's serial in a file beside the
    // station's log.
    static char claims[4 * MESSAGE_BUFFER_SIZE + 16];
    int length = given.stationLog.path != nullptr
                     ? snprintf(claims, sizeof claims, "%s.serials", given.stationLog.path)
                     : 0;
    options.serialClaims = length > 0 && (size_t)length < sizeof claims ? claims : nullptr;
    run->record.flashRan = true;
    FlashResult result = FlashFrontend(run->session.listing.handle, options, &run->record.flash);
    run->failure = run->record.flash.failure != nullptr ? run->record.flash.failure : run->failure;
    run->record.flashResult = RecordedFlashResult(result);
    if (result == FLASH_SERIAL_CLAIMED) {
        run->record.outcome = OUTCOME_DUPLICATE; // the unit's record is its other worker's
    }
    return STEP_END;
}

// The steps of a run, each after a look for a stop where the table says:
// up to the listing, which ends them for --list and --all, and then those
// that flash the one frontend chosen.
struct Step {
    StepResult (*take)(Run*);
    bool stopFirst; // a stop asked for before it ends the run in order
};
// --key: each key file read before anything is touched.
static StepResult ReadKeys(Run* run) {
    const Options& given = *run->options;
    for (int32_t k = 0; k < given.keyCount; k++) {
        const FileArgument& file = given.keys[k];
        KeyFileResult read = ReadKeyFile(file.file, &run->keys[run->keyCount]);
        if (read == KEY_UNREADABLE) {
            run->failure = LogFailure(Tag, "Key file [%s] can not be read", file.path);
            return STEP_FATAL;
        }
        if (read == KEY_NOT_P256) {
            run->failure =
                LogFailure(Tag, "Key file [%s] is not an ECDSA P-256 public key", file.path);
            return STEP_FATAL;
        }
        run->keyCount++;
    }
    return STEP_NEXT;
}

static const Step OpeningSteps[] = {
    {ReadKeys, false},   {LoadLibrary, false},  {BindEntries, false}, {StartSdk, true},
    {LogRevision, true}, {ListFrontends, true}, {nullptr, false},
};
static const Step FlashingSteps[] = {{Connect, false}, {Flash, true}, {nullptr, false}};

static Ending TakeSteps(Run* run, const Step* steps, Ending afterLast) {
    for (const Step* step = steps; step->take != nullptr; step++) {
        if (step->stopFirst && RunStopped(run)) {
            return END_IN_ORDER;
        }
        switch (step->take(run)) {
        case STEP_NEXT:
            break;
        case STEP_END:
            return END_IN_ORDER;
        case STEP_FATAL:
            return END_FATAL;
        case STEP_FATAL_LISTING:
            return END_FATAL_LISTING;
        case STEP_STATION:
            return END_STATION;
        }
    }
    return afterLast;
}

// The files the run uses, as the file functions take them, and those that
// the log and the records must never be.
static void NameFiles(Run* run, const Options& options) {
    run->imageCount = options.imageCount > 0 ? options.imageCount : 1;
    run->imagePaths[0] = DefaultFirmwareFileName;
    for (int32_t k = 0; k < options.imageCount; k++) {
        run->imagePaths[k] = options.images[k].file;
    }
    run->historyPath = options.history.file;
    run->logPath = options.log.file != nullptr ? options.log.file : DefaultLogFileName;
    run->stationLog = options.stationLog.file;
    size_t logCount = 0, recordCount = 0;
    for (int k = 0; k < run->imageCount; k++) {
        run->logProtected[logCount++] = run->imagePaths[k];
        run->recordProtected[recordCount++] = run->imagePaths[k];
    }
    if (options.log.path != nullptr && run->historyPath != nullptr) {
        run->logProtected[logCount++] = run->historyPath;
    }
    run->logProtected[logCount++] = run->stationLog; // the end, where there is none
    run->recordProtected[recordCount++] = run->logPath;
    run->recordProtected[recordCount++] = run->stationLog;
}

// The transport and the pause. False, with the reason logged after the
// banner, when the command line cannot be run.
static bool ReadCommandLine(Run* run, const char* problem) {
    const Options& options = *run->options;
    run->transport = problem == nullptr && options.transport != nullptr
                         ? TransportFor(options.transport)
                         : nullptr;
    run->waitTime = DEFAULT_WAIT_TIME;
    bool runnable = run->transport != nullptr && (options.waitTime == nullptr ||
                                                  ParseWaitTime(options.waitTime, &run->waitTime));
    if (runnable) {
        JsonStart(KESTRUNE_VERSION, run->transport->letter, run->waitTime, run->imagePaths[0],
                  run->logPath);
    }
    // "v129 builddate": the first line operators' scripts look for.
    LogLine(Tag, "Kestrune v129 builddate: 2013/03/28 16:14:49");
    if (problem != nullptr) {
        LogLine(Tag, problem);
    }
    if (!runnable) {
        LogLine(Tag, Usage);
    }
    return runnable;
}

// Where the JSON goes. A station's events name it where it has a name or
// publishes (by default the host's name); its workers' events are the
// station's to name.
static void OpenJson(Run* run, const Options& options) {
    static char hostName[256];
    const char* station = options.stationLog.path == nullptr ? options.station : nullptr;
    if (station == nullptr && options.stationLog.path == nullptr && options.publish != nullptr) {
        PlatformComputerName(hostName, sizeof hostName);
        station = hostName;
    }
    run->record.station = options.station;
    run->record.unit = options.stationUnit;
    if (options.publish != nullptr) {
        PublishStart(options.publish);
    }
    JsonEnable(options.json, options.publish != nullptr, station);
}

// Everything before the SDK: the files, the log, the JSON stream and the
// command line. False when the command line cannot be run.
static bool OpenRun(Run* run, const Options& options, const char* problem) {
    run->options = &options;
    Current = run;
    LocalTimestamp(run->record.started);
    OpenJson(run, options);
    if (options.json) {
        PlatformConsoleToStandardError();
    }
    NameFiles(run, options);
    LogOpenAs(run->logPath, run->logProtected, EndWithoutLog);
    PlatformOnSecondStop(SayLastWords);
    if (!ReadCommandLine(run, problem)) {
        return false;
    }
    run->record.listOnly = options.list;
    // A station's worker flashes the frontend its station named, and its
    // record says so whatever happens before it is found (a stop, a unit
    // taken out).
    if (run->stationLog != nullptr && options.device != nullptr) {
        run->record.haveFrontend = true;
        char utf8[4 * MESSAGE_BUFFER_SIZE];
        PlatformNarrowTextToUtf8(options.device, utf8, sizeof utf8);
        CleanUtf8(run->record.frontend, sizeof run->record.frontend, utf8);
    }
    run->record.log = options.log.path != nullptr ? options.log.path : run->logPath;
    run->record.transport = run->transport->letter;
    run->record.waitTime = run->waitTime;
    return true;
}

// --retries: whether the last try ended with a failure that may pass: an
// SDK call after the listing, a completion wait without "Programming
// done", a frontend not verified. Never a refusal, a declined question, a
// stop, a flashed unit, nor one gone from the list.
static bool MayPass(const Run& run, Ending ending) {
    const RunRecord& record = run.record;
    if (ending != END_IN_ORDER || PlatformStopRequested() || record.flash.declined) {
        return false;
    }
    if (record.verdict == RunRecord::UNVERIFIED) {
        return true;
    }
    bool notOpened = !record.flashRan && run.session.chosenName != nullptr &&
                     run.session.errorState > 0; // (a frontend not listed is -1)
    return notOpened || (record.flashRan && !record.flash.flashed &&
                         (record.flashResult == FLASH_NO_FRONTEND_INFO ||
                          record.flashResult == FLASH_CHUNK_REFUSED ||
                          record.flashResult == FLASH_STATUS_FAILED ||
                          record.flashResult == FLASH_POSTCONDITIONS_FAILED));
}

// A try's failure, noted among the earlier ones for the record's message.
static void NoteEarlierTry(RunRecord* record, int tryNumber, const char* after) {
    static char earlier[4 * MESSAGE_BUFFER_SIZE];
    size_t used = strlen(earlier);
    snprintf(earlier + used, sizeof earlier - used, "%stry %d: %s", used > 0 ? "; " : "", tryNumber,
             after);
    record->earlier = earlier;
}

// What a try leaves for the next: the session and the flash as a new run
// has them, and the serial the first try read as the only one the next
// may flash.
static void ReadyForTry(Run* run) {
    RunRecord& record = run->record;
    if (record.flash.haveInfo && !run->retrySerialSet) {
        run->retrySerialSet = true;
        run->retrySerial = record.flash.serial;
    }
    record.flash = FlashReport();
    record.flashRan = false;
    record.flashResult = 0;
    record.verdict = RunRecord::NOT_VERIFIED;
    record.verdictWhy = nullptr;
    record.haveVerifiedVersion = false;
    run->failure = nullptr;
    free(run->session.chosenName);
    Session fresh = {};
    fresh.library = run->session.library;
    fresh.listing.handle = SDK_INVALID_HANDLE;
    run->session = fresh;
}

// --retries N: a failure that may pass is tried again, a whole flash each
// time (a new session, the checks from the start, the image, the wait, the
// verify), after a pause that grows. Every try is logged.
static Ending TryAgain(Run* run, Ending ending) {
    static const uint32_t pauses[] = {5000, 15000, 30000, 30000, 30000};
    static const Step RetrySteps[] = {{StartSdk, true}, {LogRevision, true}, {ListFrontends, true},
                                      {Connect, false}, {Flash, true},       {nullptr, false}};
    int tries = 1 + run->options->retries;
    run->record.tries = 1;
    for (int tryNumber = 2; tryNumber <= tries && MayPass(*run, ending); tryNumber++) {
        const char* after = run->record.verdictWhy != nullptr ? run->record.verdictWhy
                            : run->failure != nullptr         ? run->failure
                                                              : "";
        const char* name = run->session.chosenName;
        LogFormat(Tag, "Try %d of %d for frontend [%s] after: %s", tryNumber, tries,
                  name != nullptr ? ShownText(name) : run->record.frontend, after);
        JsonRetry(tryNumber, tries, after);
        NoteEarlierTry(&run->record, tryNumber - 1, after);
        PlatformSleep(pauses[tryNumber - 2]);
        if (RunStopped(run)) { // as a stop at the question: nothing more is sent
            run->record.flashResult = FLASH_STOPPED;
            return END_IN_ORDER;
        }
        ReadyForTry(run);
        run->record.tries = tryNumber;
        ending = TakeSteps(run, RetrySteps, END_IN_ORDER);
        CloseSession(&run->session, ending);
        VerifyTheFlash(run);
    }
    return ending;
}

int RunSession(const Options& options, const char* problem) {
    static Run run; // the handlers of Current may outlive any frame
    run = Run();
    run.session.listing.handle = SDK_INVALID_HANDLE; // no session yet
    if (!OpenRun(&run, options, problem)) {
        PublishEnd(Tag);
        return 1;
    }
    Ending ending = TakeSteps(&run, OpeningSteps, END_FLASH_ONE);
    if (ending == END_FLASH_ONE) {
        ending = TakeSteps(&run, FlashingSteps, END_IN_ORDER);
    }
    CloseSession(&run.session, ending);
    VerifyTheFlash(&run);
    if (options.retries > 0 && ending != END_STATION) {
        ending = TryAgain(&run, ending);
    }
    ReleaseSession(&run.session, ending, options.watch);
    return ending == END_STATION ? FinishStation(&run) : FinishRun(&run, ending);
}
