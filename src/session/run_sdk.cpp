// The run's session with the SDK: the library loaded and bound, the
// session started, the frontends listed and the one to flash chosen and
// connected; and all of it given back.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/history.h"
#include "output/json.h"
#include "output/log_line.h"
#include "output/record_text.h"
#include "output/shown_text.h"
#include "platform/platform.h"
#include "sdk/library_path.h"
#include "sdk/sdk_binding.h"
#include "session/run_parts.h"

const char* const RunTag = "main";
static const char* const Tag = RunTag;

bool RunStopped(Run* run) {
    const char* stop = StopBeforeFlashing(Tag);
    run->failure = stop != nullptr ? stop : run->failure;
    return stop != nullptr;
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
    SdkListingFree(&session->listing);
}

void CloseSession(Session* session, Ending ending) {
    if (session->connected) {
        CloseConnection(session->listing.handle);
        session->connected = false;
    }
    if (session->listing.names != nullptr && session->listing.count > 0) {
        FreeDeviceList(session);
    }
    if (session->listing.handle != SDK_INVALID_HANDLE) {
        // The log format has no line for the LibraryExit after a failed listing.
        if (ending != END_FATAL_LISTING) {
            LogLine(Tag, "Call LibraryExit");
        }
        SdkListingExit(&session->listing);
    }
}

void ReleaseSession(Session* session, Ending ending, bool watch) {
    free(session->chosenName);
    session->chosenName = nullptr;
    if (ending != END_FATAL && ending != END_FATAL_LISTING && !(ending == END_STATION && watch)) {
        PlatformFreeLibrary(session->library);
        session->library = nullptr;
    }
}

StepResult LoadLibrary(Run* run) {
    LogLine(Tag, "Create system path for library");
    PathUnit libraryPath[LIBRARY_PATH_UNITS];
    uint32_t loadError = BuildLibraryPath(libraryPath);
    LogLine(Tag, "Try to load the library in");
    char message[LIBRARY_PATH_UNITS + 1];
    PathToMessage(libraryPath, message);
    LogLine(Tag, message);
    if (loadError == 0) {
        run->session.library = PlatformLoadLibrary(libraryPath, &loadError);
    }
    if (run->session.library == nullptr) {
        // "windows errorcode" on every platform: operators' scripts match the log.
        run->failure =
            LogFailure(Tag, "Can not load library, windows errorcode = %d", (int)loadError);
        return STEP_FATAL;
    }
    return STEP_NEXT;
}

StepResult BindEntries(Run* run) {
    LogLine(Tag, "Get pointers to the functions in the DLL");
    const char* missingEntry = BindSdk(run->session.library);
    if (missingEntry != nullptr) {
        run->failure = LogFailure(Tag, "fp%s in library not found", missingEntry);
        return STEP_FATAL;
    }
    return STEP_NEXT;
}

StepResult StartSdk(Run* run) {
    LogLine(Tag, run->transport->message);
    SdkListing* listing = &run->session.listing;
    if (SdkListingBegin(run->transport->code, listing)) {
        return STEP_NEXT;
    }
    if (listing->errorWord != 0) {
        run->failure =
            LogFailure(Tag, "Can not initialize library, errorcode = %d", listing->errorWord);
    } else {
        run->failure = LogFailureLine(Tag, "Can not initialize library, INVALID_HANDLE_VALUE");
    }
    listing->handle = SDK_INVALID_HANDLE; // a session that did not begin is not ended
    return STEP_FATAL;
}

StepResult LogRevision(Run* run) {
    LogLine(Tag, SdkText(Sdk.fpGetRevision(run->session.listing.handle)));
    return STEP_NEXT;
}

static void LogDeviceList(char** devices, int32_t count) {
    for (int32_t j = 0; j < count; j++) {
        LogFormat(Tag, "%d = [%s]", j, SdkText(devices[j]));
    }
    JsonFrontends(devices, count);
}

// The frontend to flash: the only one, or the first of the name given.
static void ChooseFrontend(Run* run) {
    Session* session = &run->session;
    const char* device = run->options->device;
    char** devices = session->listing.names;
    int32_t count = session->listing.count;
    const char* chosen = devices[0];
    int32_t candidates = count;
    if (device != nullptr) {
        chosen = nullptr;
        candidates = 0;
        for (int32_t j = 0; j < count; j++) {
            if (devices[j] != nullptr && strcmp(devices[j], device) == 0) {
                chosen = chosen != nullptr ? chosen : devices[j];
                candidates++;
            }
        }
    }
    if (candidates > 1) {
        session->errorState = -1;
        run->failure = LogFailure(Tag, "Only one device allowed, now %d found", candidates);
    }
    LogDeviceList(devices, count);
    if (device != nullptr && candidates == 0) {
        run->failure =
            LogFailure(Tag, "Frontend [%s] not found among %d listed", ShownText(device), count);
        session->errorState = -1;
        if (run->stationLog != nullptr) {
            run->record.outcome = OUTCOME_GONE; // its station listed it: gone before its turn
        }
    }
    // The record names a frontend only where one was chosen.
    if (chosen != nullptr && candidates == 1) {
        run->record.haveFrontend = true;
        char utf8[4 * MESSAGE_BUFFER_SIZE]; // room for any name converted to UTF-8
        PlatformNarrowTextToUtf8(chosen, utf8, sizeof utf8);
        CleanUtf8(run->record.frontend, sizeof run->record.frontend, utf8);
    }
    if (session->errorState == 0 && chosen == nullptr) {
        session->errorState = -1; // nothing to connect to
    }
    session->chosen = chosen;
    bool keep = chosen != nullptr && run->options->verifyMinutes > 0;
    session->chosenName = keep ? strdup(chosen) : nullptr;
}

StepResult ListFrontends(Run* run) {
    Session* session = &run->session;
    LogLine(Tag, "Try to list all frontends");
    bool listed = SdkListingList(&session->listing);
    char** devices = session->listing.names;
    int32_t count = session->listing.count;
    if (run->options->watch && !listed) {
        LogDeviceList(devices, 0);
        run->station =
            StationTakeNames(nullptr, 0, &run->failure); // an empty fixture: the watch begins
        return STEP_STATION;
    }
    if (!listed) {
        run->failure = LogFailure(Tag, "Frontend list NOT available, errorcode = %d",
                                  Sdk.fpGetErrorCode(session->listing.handle));
        return STEP_FATAL_LISTING;
    }
    if (run->options->list || run->options->all) {
        LogDeviceList(devices, count);
        if (run->options->list) {
            return STEP_END;
        }
        run->station = StationTakeNames(devices, count, &run->failure);
        FreeDeviceList(session);
        return STEP_STATION;
    }
    ChooseFrontend(run);
    return STEP_NEXT;
}

StepResult Connect(Run* run) {
    Session* session = &run->session;
    if (session->errorState == 0) {
        // The one stop check inside a step: only where it would connect.
        if (RunStopped(run)) {
            return STEP_END;
        }
        if (run->options->device != nullptr) {
            LogFormat(Tag, "Use frontend [%s]", ShownText(run->options->device));
        }
        LogLine(Tag, "Try to connect to the frontend using first found device");
        if (Sdk.fpOpen(session->listing.handle, session->chosen)) {
            session->connected = true;
        } else {
            SdkError error = SdkLastError(session->listing.handle);
            // A failure that reads as code 0 must still stop the flashing.
            session->errorState = error.code != 0 ? error.code : -1;
            run->failure = LogFailure(Tag, "Frontend NOT available, errorcode = %d (%s)",
                                      error.code, error.text);
        }
    }
    FreeDeviceList(session);
    return STEP_NEXT;
}
