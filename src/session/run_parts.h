// What the run's files share: the run's value, how its steps end, and the
// steps that take the SDK session (run_sdk.cpp). Nothing else includes it.
#pragma once

#include <cstdint>

#include "flash/phases.h"
#include "output/run_record.h"
#include "sdk/listing.h"
#include "session/command_line.h"
#include "session/station.h"

extern const char* const RunTag;

// What is open, closed in reverse order by CloseSession.
struct Session {
    void* library;
    SdkListing listing; // the handle and the device list, until given back
    bool connected;
    int32_t errorState; // why the frontend is not flashed, 0 when it is
    const char* chosen; // the frontend to flash
    char* chosenName;   // its name, kept past the device list for --verify
};

// How the steps end.
enum Ending {
    END_FLASH_ONE,     // a frontend chosen: the flashing steps follow
    END_IN_ORDER,      // every step taken, or a stop, --list, a frontend not to be had
    END_STATION,       // listed for --all: the station flashes them
    END_FATAL,         // the SDK could not be had: status 1
    END_FATAL_LISTING, // no frontend list: status 1
};

// What a step asks of the run.
enum StepResult { STEP_NEXT, STEP_END, STEP_FATAL, STEP_FATAL_LISTING, STEP_STATION };

enum { PROTECTED_MAX = FLASH_IMAGES_MAX + 3 };

// One run, from the command line to its record, passed to each step.
struct Run {
    const Options* options;
    const Transport* transport;
    uint32_t waitTime;
    // The files, as the file functions take them.
    const char* imagePaths[FLASH_IMAGES_MAX];
    int imageCount;
    const char* historyPath; // null for none
    const char* logPath;
    const char* stationLog; // a worker's: its station's log, or null
    // What the log never is: an image, a history named beside a log of its
    // own, a worker's station's log. What a record never lands in: an
    // image, the log, a worker's station's log. Both null-ended.
    const char* logProtected[PROTECTED_MAX];
    const char* recordProtected[PROTECTED_MAX];
    Session session;
    Station* station;    // --all: the frontends listed
    RunRecord record;    // filled in as the run goes
    const char* failure; // the failure logged last, which the record gives; null for none
    // --key: the keys an image must be signed by.
    TrustedKey keys[KEYS_MAX];
    int keyCount;
    // --retries: a try after the first flashes only the unit the first read.
    bool retrySerialSet;
    int32_t retrySerial;
};

// A stop asked for before the frontend was flashed: logged, and noted as
// the run's failure.
bool RunStopped(Run* run);

// The steps that take the SDK session, each logging what it does.
StepResult LoadLibrary(Run* run);
StepResult BindEntries(Run* run);
StepResult StartSdk(Run* run);
StepResult LogRevision(Run* run);
StepResult ListFrontends(Run* run);
StepResult Connect(Run* run);

// Closes what is open in the SDK, newest first.
void CloseSession(Session* session, Ending ending);
// What the session kept past its close. The library stays loaded after a
// fatal ending, as the log format has it, and for a watch's looks.
void ReleaseSession(Session* session, Ending ending, bool watch);
