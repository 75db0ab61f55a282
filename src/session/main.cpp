// Kestrune: writes new firmware into a frontend through the maker's SDK.
#include <cstring>

#include "flash/firmware_image.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "session/command_line.h"
#include "session/run.h"

static void Write(const char* text) {
    PlatformConsoleWrite(text, strlen(text));
}

int main(int argc, char** argv) {
    PlatformInit();
    PlatformArguments(&argc, &argv);
    Options options;
    char problem[MESSAGE_BUFFER_SIZE];
    bool understood = ParseOptions(argc, argv, &options, problem, sizeof problem);
    ResolveFiles(&options, argc, argv, PlatformFileArgument);
    // Neither touches the log nor the SDK, whatever else is given.
    if (options.help) {
        Write(Usage);
        Write("\r\n");
        Write(OptionsHelp);
        return 0;
    }
    if (options.version) {
        Write("Kestrune " KESTRUNE_VERSION "\r\n");
        return 0;
    }
    if (understood && options.info.path != nullptr) {
        TrustedKey keys[KEYS_MAX];
        for (int32_t k = 0; k < options.keyCount; k++) {
            if (ReadKeyFile(options.keys[k].file, &keys[k]) != KEY_READ) {
                Write("error: Key file [");
                Write(options.keys[k].path);
                Write("] is not an ECDSA P-256 public key that can be read\r\n");
                return 1;
            }
        }
        bool accepted = DescribeImage(options.info.file, keys, options.keyCount);
        return PlatformStopRequested() ? PlatformStoppedExitStatus : accepted ? 0 : 1;
    }
    if (MachineRun(options)) {
        PlatformRunIsUnattended();
    }
    if (options.stationLog.path != nullptr) {
        PlatformServeStation();
    }
    return RunSession(options, understood ? nullptr : problem);
}
