// One run of Kestrune: load the SDK, find the one frontend, flash it, and
// close everything down in reverse order.
#include <cstdint>
#include <cstdio>
#include <cstring>

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
        uint32_t error = length > 0 ? PlatformAppendRecord(Given.historyPath, HistoryHeader, record)
                                    : (uint32_t)PlatformPathTooLongError;
        if (error != 0) {
            LogFormat(Tag, "Can not write history file [%s], error %d", Given.historyPath,
                      (int)error);
        }
    }
    return status;
}

static void Write(const char* text) {
    PlatformConsoleWrite(text, strlen(text));
}

int main(int argc, char** argv) {
    PlatformInit();
    Run = RunRecord();
    LocalTimestamp(Run.started);
    bool optionsRead = ParseOptions(argc, argv, &Given);
    // Neither touches the log nor the SDK.
    if (optionsRead && Given.help) {
        Write(Usage);
        Write("\r\n");
        Write(OptionsHelp);
        return 0;
    }
    if (optionsRead && Given.version) {
        Write("Kestrune " KESTRUNE_VERSION "\r\n");
        return 0;
    }
    LogLine(Tag, "Kestrune v129 builddate: 2013/03/28 16:14:49");

    // Refuse what cannot be run before touching the library.
    int first = Given.firstArgument;
    const Transport* transport = optionsRead && argc > first ? TransportFor(argv[first]) : nullptr;
    uint32_t waitTime = DEFAULT_WAIT_TIME;
    if (transport == nullptr || (argc > first + 1 && !ParseWaitTime(argv[first + 1], &waitTime))) {
        LogLine(Tag, Usage);
        return 1;
    }
    Run.wanted = Given.historyPath != nullptr;
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
        return EndRun(1, true);
    }

    LogLine(Tag, "Get pointers to the functions in the DLL");
    const char* missingEntry = BindSdk();
    if (missingEntry != nullptr) {
        LogFormat(Tag, "fp%s in library not found", missingEntry);
        return EndRun(1, true);
    }

    LogLine(Tag, transport->message);
    int32_t errorState = 0;
    SdkHandle handle = Sdk.fpLibraryInit(transport->code, &errorState);
    if (errorState != 0) {
        LogFormat(Tag, "Can not initialize library, errorcode = %d", errorState);
        return EndRun(1, true);
    }
    if (handle == SDK_INVALID_HANDLE) {
        LogLine(Tag, "Can not initialize library, INVALID_HANDLE_VALUE");
        return EndRun(1, true);
    }

    LogLine(Tag, SdkText(Sdk.fpGetRevision(handle)));

    LogLine(Tag, "Try to list all frontends");
    int32_t count = 0;
    char** devices = Sdk.fpGetDeviceList(handle, &count);
    if (count <= 0 || devices == nullptr) {
        LogFormat(Tag, "Frontend list NOT available, errorcode = %d", Sdk.fpGetErrorCode(handle));
        Sdk.fpLibraryExit(handle);
        return EndRun(1, true);
    }
    if (count > 1) {
        errorState = -1;
        LogFormat(Tag, "Only one device allowed, now %d found", count);
    }
    for (int32_t j = 0; j < count; j++) {
        LogFormat(Tag, "%d = [%s]", j, SdkText(devices[j]));
    }

    if (devices[0] != nullptr) {
        Run.haveFrontend = true;
        snprintf(Run.frontend, sizeof Run.frontend, "%s", devices[0]);
    }
    if (errorState == 0 && devices[0] == nullptr) {
        errorState = -1; // nothing to connect to
    }
    if (errorState == 0) {
        LogLine(Tag, "Try to connect to the frontend using first found device");
        if (!Sdk.fpOpen(handle, devices[0])) {
            SdkError error = SdkLastError(handle);
            // A failure that reads as code 0 must still stop the flashing.
            errorState = error.code != 0 ? error.code : -1;
            LogFormat(Tag, "Frontend NOT available, errorcode = %d (%s)", error.code, error.text);
        }
    }

    LogLine(Tag, "Free the DeviceList");
    Sdk.fpFreeDeviceList(handle, count, devices);

    if (errorState != 0) {
        LogLine(Tag, "Error occured, NOT flashing firmware");
    } else {
        LogFormat(Tag, "Kestrune with waittime of %u milliseconds", waitTime);
        Run.flashRan = true;
        Run.flashResult = Kestrune(handle, waitTime);
        LogLine(Tag, "Call Close");
        if (!Sdk.fpClose(handle)) {
            SdkError error = SdkLastError(handle);
            LogFormat(Tag, "Close failed, errorcode = %d (%s)", error.code, error.text);
        }
    }

    LogLine(Tag, "Call LibraryExit");
    Sdk.fpLibraryExit(handle);
    PlatformFreeLibrary(SdkLibrary);
    SdkLibrary = nullptr;
    // An interrupted flash must never read as a finished one.
    int status = PlatformStopRequested() ? PlatformStoppedExitStatus
                 : Given.exitStatus      ? OutcomeStatus(errorState)
                                         : 0;
    status = EndRun(status, false);
    LogLine(Tag, "Close the log file");
    CloseLog();
    return status;
}
