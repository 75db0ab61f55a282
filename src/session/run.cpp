#include "session/run.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/firmware_image.h"
#include "flash/kestrune.h"
#include "output/history.h"
#include "output/json.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "sdk/library_path.h"
#include "sdk/sdk_binding.h"
#include "session/station.h"
#include "session/verify.h"

static const char* const Tag = "main";

// What is open, closed in reverse order by CloseSession.
struct Session {
    void* library;
    bool haveHandle;
    SdkHandle handle;
    char** devices; // the device list, until it is given back
    int32_t count;
    bool connected;
    int32_t errorState; // why the frontend is not flashed, 0 when it is
    const char* chosen; // the frontend to flash
    char* chosenName;   // its name, kept past the device list for --verify
};

// How a session ends.
enum Ending {
    END_IN_ORDER,      // every step taken, or a stop, --list, a frontend not to be had
    END_STATION,       // listed for --all: the station flashes them
    END_FATAL,         // the SDK could not be had: status 1
    END_FATAL_LISTING, // no frontend list: status 1
};

// What a step asks of the run.
enum StepResult { STEP_NEXT, STEP_END, STEP_FATAL, STEP_FATAL_LISTING, STEP_STATION };

static const Options* Given;
static const char* HistoryPath;                  // as the file functions take it
static const char* ImagePaths[FLASH_IMAGES_MAX]; // as the file functions take them
static int ImageCount;
static const char* StationLog; // a worker's: its station's log, or null
static const Transport* ChosenTransport;
static uint32_t WaitTime;
static FlashReport Report; // filled in as the flash goes

// The exit status --exit-status gives a run that got as far as a session.
static int OutcomeStatus(int32_t errorState) {
    if (Run.verdict == RunRecord::UNVERIFIED) {
        return 10 + FLASH_UNVERIFIED;
    }
    if (Run.flashed || Run.alreadyCurrent) {
        return 0;
    }
    if (Run.declined) {
        return 2;
    }
    if (!Run.flashRan) {
        return errorState != 0 ? 3 : 0;
    }
    if (Run.flashResult == FLASH_OLDER_REFUSED || Run.flashResult == FLASH_SERIAL_MISMATCH ||
        Run.flashResult == FLASH_NO_IMAGE_FITS) {
        return 3; // not flashed, like a frontend that could not be had
    }
    return Run.flashResult != FLASH_FLASHED ? 10 + Run.flashResult : 0;
}

enum { RECORD_PROTECTED_MAX = FLASH_IMAGES_MAX + 3 };

// What a record never lands in: an image, the log, a worker's station's log.
static void RecordProtectedPaths(const char* out[RECORD_PROTECTED_MAX]) {
    size_t n = 0;
    for (int k = 0; k < ImageCount; k++) {
        out[n++] = ImagePaths[k];
    }
    out[n++] = LogFileName;
    out[n++] = StationLog; // the end, where there is none
    out[n] = nullptr;
}

// Every run that got past the command line ends here, with its record when
// one is wanted; a record that cannot be written changes nothing else.
static int EndRun(int status, bool fatal) {
    // The same values for the record and the JSON result: one finishing time.
    Run.message = Run.flashed ? "" : LastFailure;
    RecordValues values;
    FillRecord(&values, Run, fatal, PlatformStopRequested(), status);
    Recorded recorded = RECORD_NOT_ASKED;
    if (HistoryPath != nullptr) {
        // The record never lands in the image or a log. A flashed frontend's
        // record is kept whatever stops come: after SUCCESS a stop changes
        // nothing.
        const char* protectedPaths[RECORD_PROTECTED_MAX];
        RecordProtectedPaths(protectedPaths);
        RecordWait wait = Run.flashed ? RECORD_WAIT_WHATEVER_STOPS : RECORD_WAIT_UNTIL_STOP;
        recorded =
            RecordInHistory(HistoryPath, Given->history.path, protectedPaths, wait, values, Tag);
    }
    if (Given->all) {
        StationEndsUnlisted(*Given, status, Run.message); // a station's last event is its own
    } else {
        JsonResult(values, Run.message, recorded, nullptr);
    }
    return status;
}

// The flash as the record gives it.
static void RecordFlash(const FlashReport& report) {
    Run.haveInfo = report.haveInfo;
    Run.serial = report.serial;
    Run.hwVersion = report.hwVersion;
    Run.swVersion = report.swVersion;
    Run.haveImage = report.haveImage;
    Run.firmwareVer = report.firmwareVer;
    Run.devId = report.devId;
    Run.firmwareSize = report.firmwareSize;
    memcpy(Run.imageSha256, report.imageSha256, sizeof Run.imageSha256);
    Run.chunksSent = report.chunksSent;
    Run.confirmed = report.confirmed;
    Run.declined = report.declined;
    Run.alreadyCurrent = report.alreadyCurrent;
    Run.flashed = report.flashed;
    Run.reportedVersion = report.reportedVersion;
    Run.chosenImage = report.chosenImage;
}

// A second stop ends the process at once: the log says so, and the history
// gets the record of a stopped run where that needs no waiting (not from a
// signal handler).
static void SayLastWords(bool inSignalHandler) {
    LogLineAtOnce(Tag, "Ended at once by a second stop, the frontend may hold part of the image");
    // A station's workers keep their own records.
    if (inSignalHandler || HistoryPath == nullptr || Given->all) {
        return;
    }
    if (Run.flashRan) {
        RecordFlash(Report);
        Run.flashResult = FLASH_STOPPED;
    }
    Run.message = LastFailure;
    RecordValues values;
    FillRecord(&values, Run, false, true, PlatformStoppedExitStatus);
    const char* protectedPaths[RECORD_PROTECTED_MAX];
    RecordProtectedPaths(protectedPaths);
    AppendHistoryRecord(HistoryPath, protectedPaths, RECORD_NO_WAIT, values);
}

// The log cannot be opened: a program that drives the run still hears how
// it ended.
static void EndWithoutLog() {
    if (Given->all) {
        StationEndsUnlisted(*Given, 1, LastFailure);
        return;
    }
    RecordValues values;
    FillRecord(&values, Run, true, PlatformStopRequested(), 1);
    JsonResult(values, LastFailure, RECORD_NOT_ASKED, nullptr);
}

static void CloseConnection(SdkHandle handle) {
    LogLine(Tag, "Call Close");
    if (!Sdk.fpClose(handle)) {
        SdkError error = SdkLastError(handle);
        LogFormat(Tag, "Close failed, errorcode = %d (%s)", error.code, error.text);
    }
}

static void FreeDeviceList(Session* session) {
    LogLine(Tag, "Free the DeviceList");
    Sdk.fpFreeDeviceList(session->handle, session->count, session->devices);
    session->devices = nullptr;
}

// Closes what is open, newest first, and ends the run.
static int CloseSession(Session* session, Ending ending) {
    if (session->connected) {
        CloseConnection(session->handle);
    }
    if (session->devices != nullptr) {
        FreeDeviceList(session);
    }
    if (session->haveHandle) {
        // The log format has no line for the LibraryExit after a failed listing.
        if (ending != END_FATAL_LISTING) {
            LogLine(Tag, "Call LibraryExit");
        }
        Sdk.fpLibraryExit(session->handle);
    }
    if (ending == END_FATAL || ending == END_FATAL_LISTING) {
        // The log format ends a run without a session here: the library
        // stays loaded and the log has no closing line.
        bool stopped = StopBeforeFlashing(Tag);
        return EndRun(stopped ? PlatformStoppedExitStatus : 1, true);
    }
    if (Given->verifyMinutes > 0 && Run.flashed && session->chosenName != nullptr &&
        !PlatformStopRequested()) {
        VerifyFlash(VerifyPlan{ChosenTransport->code, session->chosenName, Run.serial,
                               Run.firmwareVer, Given->verifyMinutes});
    }
    free(session->chosenName);
    PlatformFreeLibrary(session->library);
    SdkLibrary = nullptr;
    if (ending == END_STATION) {
        // Each worker keeps its own record; the station those of the units
        // it refused or lost, and of those a stop left without a turn.
        StopBeforeFlashing(Tag);
        char transport[2] = {ChosenTransport->letter, '\0'};
        char waitTime[12];
        snprintf(waitTime, sizeof waitTime, "%u", WaitTime);
        const char* protectedPaths[RECORD_PROTECTED_MAX];
        RecordProtectedPaths(protectedPaths);
        StationPlan plan = {Given, transport, waitTime, HistoryPath, protectedPaths};
        int status = RunStation(plan);
        LogLine(Tag, "Close the log file");
        CloseLog();
        return status;
    }
    // An interrupted run must never read as a finished one, nor a flashed
    // frontend as anything else.
    int status = PlatformStopRequested() && !Run.flashed ? PlatformStoppedExitStatus
                 : Given->exitStatus                     ? OutcomeStatus(session->errorState)
                                                         : 0;
    status = EndRun(status, false);
    LogLine(Tag, "Close the log file");
    CloseLog();
    return status;
}

static StepResult LoadLibrary(Session* session) {
    LogLine(Tag, "Create system path for library");
    PathUnit libraryPath[LIBRARY_PATH_UNITS];
    uint32_t loadError = BuildLibraryPath(libraryPath);
    LogLine(Tag, "Try to load the library in");
    char message[LIBRARY_PATH_UNITS + 1];
    PathToMessage(libraryPath, message);
    LogLine(Tag, message);
    if (loadError == 0) {
        session->library = PlatformLoadLibrary(libraryPath, &loadError);
    }
    if (session->library == nullptr) {
        // "windows errorcode" on every platform: operators' scripts match the log.
        LogFailure(Tag, "Can not load library, windows errorcode = %d", (int)loadError);
        return STEP_FATAL;
    }
    SdkLibrary = session->library;
    return STEP_NEXT;
}

static StepResult BindEntries(Session*) {
    LogLine(Tag, "Get pointers to the functions in the DLL");
    const char* missingEntry = BindSdk();
    if (missingEntry != nullptr) {
        LogFailure(Tag, "fp%s in library not found", missingEntry);
        return STEP_FATAL;
    }
    return STEP_NEXT;
}

static StepResult StartSdk(Session* session) {
    LogLine(Tag, ChosenTransport->message);
    int32_t errorWord = 0;
    SdkHandle handle = Sdk.fpLibraryInit(ChosenTransport->code, &errorWord);
    PlatformRetakeStop();
    if (errorWord != 0) {
        LogFailure(Tag, "Can not initialize library, errorcode = %d", errorWord);
        return STEP_FATAL;
    }
    if (handle == SDK_INVALID_HANDLE) {
        LogFailureLine(Tag, "Can not initialize library, INVALID_HANDLE_VALUE");
        return STEP_FATAL;
    }
    session->handle = handle;
    session->haveHandle = true;
    return STEP_NEXT;
}

static StepResult LogRevision(Session* session) {
    LogLine(Tag, SdkText(Sdk.fpGetRevision(session->handle)));
    return STEP_NEXT;
}

static void LogDeviceList(char** devices, int32_t count) {
    for (int32_t j = 0; j < count; j++) {
        LogFormat(Tag, "%d = [%s]", j, SdkText(devices[j]));
    }
    JsonFrontends(devices, count);
}

// The frontend to flash: the only one, or the first of the name given.
static void ChooseFrontend(Session* session) {
    char** devices = session->devices;
    int32_t count = session->count;
    const char* chosen = devices[0];
    int32_t candidates = count;
    if (Given->device != nullptr) {
        chosen = nullptr;
        candidates = 0;
        for (int32_t j = 0; j < count; j++) {
            if (devices[j] != nullptr && strcmp(devices[j], Given->device) == 0) {
                chosen = chosen != nullptr ? chosen : devices[j];
                candidates++;
            }
        }
    }
    if (candidates > 1) {
        session->errorState = -1;
        LogFailure(Tag, "Only one device allowed, now %d found", candidates);
    }
    LogDeviceList(devices, count);
    if (Given->device != nullptr && candidates == 0) {
        LogFailure(Tag, "Frontend [%s] not found among %d listed", Given->device, count);
        session->errorState = -1;
    }
    // The record names a frontend only where one was chosen.
    if (chosen != nullptr && candidates == 1) {
        Run.haveFrontend = true;
        char utf8[4 * MESSAGE_BUFFER_SIZE]; // room for any name converted to UTF-8
        PlatformNarrowTextToUtf8(chosen, utf8, sizeof utf8);
        CleanUtf8(Run.frontend, sizeof Run.frontend, utf8);
    }
    if (session->errorState == 0 && chosen == nullptr) {
        session->errorState = -1; // nothing to connect to
    }
    session->chosen = chosen;
    session->chosenName = chosen != nullptr && Given->verifyMinutes > 0 ? strdup(chosen) : nullptr;
}

static StepResult ListFrontends(Session* session) {
    LogLine(Tag, "Try to list all frontends");
    int32_t count = 0;
    char** devices = Sdk.fpGetDeviceList(session->handle, &count);
    if (count <= 0 || devices == nullptr) {
        LogFailure(Tag, "Frontend list NOT available, errorcode = %d",
                   Sdk.fpGetErrorCode(session->handle));
        return STEP_FATAL_LISTING;
    }
    session->devices = devices;
    session->count = count;
    if (Given->list || Given->all) {
        LogDeviceList(devices, count);
        if (Given->list) {
            return STEP_END;
        }
        StationTakeNames(devices, count);
        FreeDeviceList(session);
        return STEP_STATION;
    }
    ChooseFrontend(session);
    return STEP_NEXT;
}

static StepResult Connect(Session* session) {
    if (session->errorState == 0) {
        // The one stop check inside a step: only where it would connect.
        if (StopBeforeFlashing(Tag)) {
            return STEP_END;
        }
        if (Given->device != nullptr) {
            LogFormat(Tag, "Use frontend [%s]", Given->device);
        }
        LogLine(Tag, "Try to connect to the frontend using first found device");
        if (Sdk.fpOpen(session->handle, session->chosen)) {
            session->connected = true;
        } else {
            SdkError error = SdkLastError(session->handle);
            // A failure that reads as code 0 must still stop the flashing.
            session->errorState = error.code != 0 ? error.code : -1;
            LogFailure(Tag, "Frontend NOT available, errorcode = %d (%s)", error.code, error.text);
        }
    }
    FreeDeviceList(session);
    return STEP_NEXT;
}

static StepResult Flash(Session* session) {
    if (session->errorState != 0) {
        // "occured": operators' scripts match the log as it has always been.
        LogLine(Tag, "Error occured, NOT flashing firmware");
        return STEP_END;
    }
    LogFormat(Tag, "Kestrune with waittime of %u milliseconds", WaitTime);
    FlashOptions options = {};
    options.waitTime = WaitTime;
    options.imagePaths = ImagePaths;
    options.imageCount = ImageCount;
    options.frontendName = Run.frontend;
    options.hashImage = HistoryPath != nullptr || Given->json;
    options.answerYes = Given->yes;
    options.allowOlder = Given->allowOlder;
    options.expectSerialSet = Given->expectSerialSet;
    options.expectSerial = Given->expectSerial;
    options.skipCurrent = Given->skipCurrent;
    Run.flashRan = true;
    Run.flashResult = Kestrune(session->handle, options, &Report);
    RecordFlash(Report);
    return STEP_END;
}

// The steps of a run, each after a look for a stop where the table says.
struct Step {
    StepResult (*take)(Session*);
    bool stopFirst; // a stop asked for before it ends the run in order
};
static const Step Steps[] = {
    {LoadLibrary, false},  {BindEntries, false}, {StartSdk, true}, {LogRevision, true},
    {ListFrontends, true}, {Connect, false},     {Flash, true},
};

// The files the run uses, as the file functions take them.
static void NameFiles(const Options& options) {
    ImageCount = options.imageCount > 0 ? options.imageCount : 1;
    ImagePaths[0] = DefaultFirmwareFileName;
    for (int32_t k = 0; k < options.imageCount; k++) {
        ImagePaths[k] = options.images[k].file;
    }
    HistoryPath = options.history.file;
    LogFileName = options.log.file != nullptr ? options.log.file : LogFileName;
    StationLog = options.stationLog.file;
}

// The transport and the pause. False, with the reason logged after the
// banner, when the command line cannot be run.
static bool ReadCommandLine(const Options& options, const char* problem) {
    ChosenTransport = problem == nullptr && options.transport != nullptr
                          ? TransportFor(options.transport)
                          : nullptr;
    WaitTime = DEFAULT_WAIT_TIME;
    bool runnable = ChosenTransport != nullptr &&
                    (options.waitTime == nullptr || ParseWaitTime(options.waitTime, &WaitTime));
    if (runnable) {
        JsonStart(KESTRUNE_VERSION, ChosenTransport->letter, WaitTime, ImagePaths[0], LogFileName);
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

int RunSession(const Options& options, const char* problem) {
    Given = &options;
    Run = RunRecord();
    LocalTimestamp(Run.started);
    JsonEnabled = options.json;
    if (options.json) {
        PlatformConsoleToStandardError();
    }
    NameFiles(options);
    // The log never takes the place of the image, nor of a history named
    // beside a log of its own, nor of a worker's station's log. (This frame
    // outlives every line.)
    const char* logProtectedPaths[FLASH_IMAGES_MAX + 3] = {};
    size_t protectedCount = 0;
    while ((int)protectedCount < ImageCount) {
        logProtectedPaths[protectedCount] = ImagePaths[protectedCount];
        protectedCount++;
    }
    if (options.log.path != nullptr && HistoryPath != nullptr) {
        logProtectedPaths[protectedCount++] = HistoryPath;
    }
    if (StationLog != nullptr) {
        logProtectedPaths[protectedCount++] = StationLog;
    }
    LogProtectedPaths = logProtectedPaths;
    LogUnavailable = EndWithoutLog;
    PlatformOnSecondStop(SayLastWords);
    if (!ReadCommandLine(options, problem)) {
        return 1;
    }
    Run.listOnly = options.list;
    Run.log = options.log.path != nullptr ? options.log.path : LogFileName;
    Run.transport = ChosenTransport->letter;
    Run.waitTime = WaitTime;

    Session session = {};
    for (const Step& step : Steps) {
        if (step.stopFirst && StopBeforeFlashing(Tag)) {
            return CloseSession(&session, END_IN_ORDER);
        }
        switch (step.take(&session)) {
        case STEP_NEXT:
            break;
        case STEP_END:
            return CloseSession(&session, END_IN_ORDER);
        case STEP_FATAL:
            return CloseSession(&session, END_FATAL);
        case STEP_FATAL_LISTING:
            return CloseSession(&session, END_FATAL_LISTING);
        case STEP_STATION:
            return CloseSession(&session, END_STATION);
        }
    }
    return CloseSession(&session, END_IN_ORDER);
}
