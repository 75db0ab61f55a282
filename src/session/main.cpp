// One run of Kestrune: load the SDK, find the one frontend, flash it, and
// close everything down in reverse order.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "flash/firmware_image.h"
#include "flash/kestrune.h"
#include "output/history.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "sdk/sdk_binding.h"
#include "session/arguments.h"
#include "session/library_path.h"
#include "session/options.h"

static const char* const Tag = "main";
static const char* const Usage =
    "Usage: Kestrune (w=WLAN, u=USB b=Bluetooth n=Network) (waittime blocks)";

static Options Given;
static const char* HistoryFile; // Given.historyPath as the file functions take it

// The exit status --exit-status gives a run that got as far as a session.
static int OutcomeStatus(int32_t errorState) {
    if (Run.flashed) {
        return 0;
    }
    if (Run.declined) {
        return 2;
    }
    if (!Run.flashRan) {
        return errorState != 0 ? 3 : 0;
    }
    if (Run.flashResult == FLASH_OLDER_REFUSED) {
        return 3; // not flashed, like a frontend that could not be had
    }
    return Run.flashResult != FLASH_DONE ? 10 + Run.flashResult : 0;
}

// Every run that got past the argument checks ends here, with the record of
// it when one is wanted. A record that cannot be written changes nothing
// else.
static int EndRun(int status, bool fatal) {
    if (Given.historyPath != nullptr) {
        char record[2048];
        size_t length =
            FormatHistoryRecord(record, sizeof record, fatal, PlatformStopRequested(), status);
        // The record never lands in the image or the log.
        const char* const protectedPaths[] = {FirmwareFileName, LogFileName, nullptr};
        uint32_t error =
            length > 0 ? PlatformAppendRecord(HistoryFile, protectedPaths, HistoryHeader, record)
                       : (uint32_t)PlatformPathTooLongError;
        if (error == PLATFORM_PROTECTED_FILE) {
            LogFormat(Tag,
                      "Can not write history file [%s], it is the firmware file or the log file",
                      Given.historyPath);
        } else if (error != 0) {
            LogFormat(Tag, "Can not write history file [%s], error %d", Given.historyPath,
                      (int)error);
        }
    }
    return status;
}

// A run that ends before a session was had: status 1, or the stopped
// status when a stop came meanwhile, which the log then says as well.
static int EndBeforeSession() {
    bool stopped = StopBeforeFlashing(Tag);
    return EndRun(stopped ? PlatformStoppedExitStatus : 1, true);
}

static void Write(const char* text) {
    PlatformConsoleWrite(text, strlen(text));
}

// The end of every run that got as far as loading the library.
static int EndSession(int32_t errorState) {
    PlatformFreeLibrary(SdkLibrary);
    SdkLibrary = nullptr;
    // An interrupted run must never read as a finished one, nor a flashed
    // frontend as anything else.
    int status = PlatformStopRequested() && !Run.flashed ? PlatformStoppedExitStatus
                 : Given.exitStatus                      ? OutcomeStatus(errorState)
                                                         : 0;
    status = EndRun(status, false);
    LogLine(Tag, "Close the log file");
    CloseLog();
    return status;
}

static int ExitLibrary(SdkHandle handle, int32_t errorState) {
    LogLine(Tag, "Call LibraryExit");
    Sdk.fpLibraryExit(handle);
    return EndSession(errorState);
}

static void LogDeviceList(char** devices, int32_t count) {
    for (int32_t j = 0; j < count; j++) {
        LogFormat(Tag, "%d = [%s]", j, SdkText(devices[j]));
    }
}

static void FreeDeviceList(SdkHandle handle, int32_t count, char** devices) {
    LogLine(Tag, "Free the DeviceList");
    Sdk.fpFreeDeviceList(handle, count, devices);
}

static void CloseConnection(SdkHandle handle) {
    LogLine(Tag, "Call Close");
    if (!Sdk.fpClose(handle)) {
        SdkError error = SdkLastError(handle);
        LogFormat(Tag, "Close failed, errorcode = %d (%s)", error.code, error.text);
    }
}

int main(int argc, char** argv) {
    PlatformInit();
    Run = RunRecord();
    LocalTimestamp(Run.started);
    const char* culprit = nullptr;
    OptionsError optionsError = ParseOptions(argc, argv, &Given, &culprit);
    // Neither touches the log nor the SDK, whatever else is given.
    if (Given.help) {
        Write(Usage);
        Write("\r\n");
        Write(OptionsHelp);
        return 0;
    }
    if (Given.version) {
        Write("Kestrune " KESTRUNE_VERSION "\r\n");
        return 0;
    }
    if (optionsError == OPTIONS_OK && Given.infoPath != nullptr) {
        bool accepted = DescribeImage(Given.infoPath);
        return PlatformStopRequested() ? PlatformStoppedExitStatus : accepted ? 0 : 1;
    }
    // The log never takes the place of the image. (main's own array: it
    // outlives every line.)
    const char* const logProtectedPaths[] = {FirmwareFileName, nullptr};
    LogProtectedPaths = logProtectedPaths;
    LogLine(Tag, "Kestrune v129 builddate: 2013/03/28 16:14:49");

    // Refuse what cannot be run before touching the library.
    if (optionsError == OPTIONS_UNKNOWN) {
        LogFormat(Tag, "Unknown option [%s]", culprit);
    } else if (optionsError == OPTIONS_MISSING_VALUE && strcmp(culprit, "--history") == 0) {
        LogLine(Tag, "Option --history needs a file name");
    } else if (optionsError == OPTIONS_MISSING_VALUE) {
        LogLine(Tag, "Option --device needs a frontend name");
    }
    const Transport* transport = optionsError == OPTIONS_OK && Given.transport != nullptr
                                     ? TransportFor(Given.transport)
                                     : nullptr;
    uint32_t waitTime = DEFAULT_WAIT_TIME;
    if (transport == nullptr ||
        (Given.waitTime != nullptr && !ParseWaitTime(Given.waitTime, &waitTime))) {
        LogLine(Tag, Usage);
        return 1;
    }
    Run.wanted = Given.historyPath != nullptr;
    if (Run.wanted) {
        HistoryFile = PlatformFileArgument(argc, argv, Given.historyIndex);
    }
    Run.listOnly = Given.list;
    AnswerYes = Given.yes;
    AllowOlder = Given.allowOlder;
    Run.transport = transport->letter;
    Run.waitTime = waitTime;

    LogLine(Tag, "Create system path for library");
    PathUnit libraryPath[LIBRARY_PATH_UNITS];
    uint32_t loadError = BuildLibraryPath(libraryPath);

    LogLine(Tag, "Try to load the library in");
    PathToMessage(libraryPath, MessageBuffer);
    LogLine(Tag, MessageBuffer);
    if (loadError == 0) {
        SdkLibrary = PlatformLoadLibrary(libraryPath, &loadError);
    }
    if (SdkLibrary == nullptr) {
        LogFormat(Tag, "Can not load library, windows errorcode = %d", (int)loadError);
        return EndBeforeSession();
    }

    LogLine(Tag, "Get pointers to the functions in the DLL");
    const char* missingEntry = BindSdk();
    if (missingEntry != nullptr) {
        LogFormat(Tag, "fp%s in library not found", missingEntry);
        return EndBeforeSession();
    }

    // A stop asked for before the Y ends the run without another SDK call
    // but those that close what is open.
    if (StopBeforeFlashing(Tag)) {
        return EndSession(0);
    }
    LogLine(Tag, transport->message);
    int32_t errorState = 0;
    SdkHandle handle = Sdk.fpLibraryInit(transport->code, &errorState);
    if (errorState != 0) {
        LogFormat(Tag, "Can not initialize library, errorcode = %d", errorState);
        return EndBeforeSession();
    }
    if (handle == SDK_INVALID_HANDLE) {
        LogLine(Tag, "Can not initialize library, INVALID_HANDLE_VALUE");
        return EndBeforeSession();
    }
    if (StopBeforeFlashing(Tag)) {
        return ExitLibrary(handle, 0);
    }

    LogLine(Tag, SdkText(Sdk.fpGetRevision(handle)));
    if (StopBeforeFlashing(Tag)) {
        return ExitLibrary(handle, 0);
    }

    LogLine(Tag, "Try to list all frontends");
    int32_t count = 0;
    char** devices = Sdk.fpGetDeviceList(handle, &count);
    if (count <= 0 || devices == nullptr) {
        LogFormat(Tag, "Frontend list NOT available, errorcode = %d", Sdk.fpGetErrorCode(handle));
        Sdk.fpLibraryExit(handle);
        return EndBeforeSession();
    }
    if (Given.list) {
        LogDeviceList(devices, count);
        FreeDeviceList(handle, count, devices);
        return ExitLibrary(handle, 0);
    }
    // The frontend to flash: the only one, or the first of the name given.
    const char* chosen = devices[0];
    int32_t candidates = count;
    if (Given.device != nullptr) {
        chosen = nullptr;
        candidates = 0;
        for (int32_t j = 0; j < count; j++) {
            if (devices[j] != nullptr && strcmp(devices[j], Given.device) == 0) {
                chosen = chosen != nullptr ? chosen : devices[j];
                candidates++;
            }
        }
    }
    if (candidates > 1) {
        errorState = -1;
        LogFormat(Tag, "Only one device allowed, now %d found", candidates);
    }
    LogDeviceList(devices, count);
    if (Given.device != nullptr && candidates == 0) {
        LogFormat(Tag, "Frontend [%s] not found among %d listed", Given.device, count);
        errorState = -1;
    }

    // The record names a frontend only where one was chosen.
    if (chosen != nullptr && candidates == 1) {
        Run.haveFrontend = true;
        char utf8[4 * MESSAGE_BUFFER_SIZE]; // room for any name converted to UTF-8
        PlatformSdkTextToUtf8(chosen, utf8, sizeof utf8);
        CleanUtf8(Run.frontend, sizeof Run.frontend, utf8);
    }
    if (errorState == 0 && chosen == nullptr) {
        errorState = -1; // nothing to connect to
    }
    bool opened = false;
    bool stopped = false;
    if (errorState == 0) {
        stopped = StopBeforeFlashing(Tag);
        if (!stopped) {
            LogLine(Tag, "Try to connect to the frontend using first found device");
            if (Sdk.fpOpen(handle, chosen)) {
                opened = true;
            } else {
                SdkError error = SdkLastError(handle);
                // A failure that reads as code 0 must still stop the flashing.
                errorState = error.code != 0 ? error.code : -1;
                LogFormat(Tag, "Frontend NOT available, errorcode = %d (%s)", error.code,
                          error.text);
            }
        }
    }

    FreeDeviceList(handle, count, devices);

    if (stopped || StopBeforeFlashing(Tag)) {
        if (opened) {
            CloseConnection(handle);
        }
    } else if (errorState != 0) {
        LogLine(Tag, "Error occured, NOT flashing firmware");
    } else {
        LogFormat(Tag, "Kestrune with waittime of %u milliseconds", waitTime);
        Run.flashRan = true;
        Run.flashResult = Kestrune(handle, waitTime);
        CloseConnection(handle);
    }
    return ExitLibrary(handle, errorState);
}
