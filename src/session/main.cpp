// One run of Kestrune: load the SDK, find the one frontend, flash it, and
// close everything down in reverse order.
#include <cstdint>

#include "flash/kestrune.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "sdk/sdk_binding.h"
#include "session/arguments.h"
#include "session/library_path.h"

static const char* const Tag = "main";

int main(int argc, char** argv) {
    PlatformInit();
    LogLine(Tag, "Kestrune v129 builddate: 2013/03/28 16:14:49");

    // Refuse what cannot be run before touching the library.
    const Transport* transport = argc > 1 ? TransportFor(argv[1]) : nullptr;
    uint32_t waitTime = DEFAULT_WAIT_TIME;
    if (transport == nullptr || (argc > 2 && !ParseWaitTime(argv[2], &waitTime))) {
        LogLine(Tag, "Usage: Kestrune (w=WLAN, u=USB b=Bluetooth n=Network) (waittime blocks)");
        return 1;
    }

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
        return 1;
    }

    LogLine(Tag, "Get pointers to the functions in the DLL");
    const char* missingEntry = BindSdk();
    if (missingEntry != nullptr) {
        LogFormat(Tag, "fp%s in library not found", missingEntry);
        return 1;
    }

    LogLine(Tag, transport->message);
    int32_t errorState = 0;
    SdkHandle handle = Sdk.fpLibraryInit(transport->code, &errorState);
    if (errorState != 0) {
        LogFormat(Tag, "Can not initialize library, errorcode = %d", errorState);
        return 1;
    }
    if (handle == SDK_INVALID_HANDLE) {
        LogLine(Tag, "Can not initialize library, INVALID_HANDLE_VALUE");
        return 1;
    }

    LogLine(Tag, SdkText(Sdk.fpGetRevision(handle)));

    LogLine(Tag, "Try to list all frontends");
    int32_t count = 0;
    char** devices = Sdk.fpGetDeviceList(handle, &count);
    if (count <= 0 || devices == nullptr) {
        LogFormat(Tag, "Frontend list NOT available, errorcode = %d", Sdk.fpGetErrorCode(handle));
        Sdk.fpLibraryExit(handle);
        return 1;
    }
    if (count > 1) {
        errorState = -1;
        LogFormat(Tag, "Only one device allowed, now %d found", count);
    }
    for (int32_t j = 0; j < count; j++) {
        LogFormat(Tag, "%d = [%s]", j, SdkText(devices[j]));
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
        Kestrune(handle, waitTime);
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
    LogLine(Tag, "Close the log file");
    CloseLog();
    // An interrupted flash must never read as a finished one.
    return PlatformStopRequested() ? PlatformStoppedExitStatus : 0;
}
