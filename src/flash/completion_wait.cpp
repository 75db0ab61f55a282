#include "flash/completion_wait.h"

#include <cstring>

#include "flash/firmware_status.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "sdk/sdk_binding.h"

enum { WAIT_MINUTES = 6, DISPLAY_WIDTH = 30, DISPLAY_STEP_MS = 1000 };

// One minute on the console: the line turns from "|" to "_", one position
// every two seconds, and ends in stars.
static void ShowOneMinute() {
    char line[1 + DISPLAY_WIDTH];
    memset(line + 1, '|', DISPLAY_WIDTH);
    PlatformConsoleWrite(line + 1, DISPLAY_WIDTH);
    line[0] = '\r';
    memset(line + 1, '_', DISPLAY_WIDTH);
    for (int i = 0; i < DISPLAY_WIDTH; i++) {
        PlatformSleep(DISPLAY_STEP_MS);
        PlatformConsoleWrite(line, 1 + (size_t)i);
        PlatformSleep(DISPLAY_STEP_MS);
        PlatformConsoleWrite("/", 1);
    }
    static const char done[] = "\r******************************\n\n";
    PlatformConsoleWrite(done, sizeof done - 1);
}

FlashResult AwaitCompletion(SdkHandle handle) {
    LogLine(FlashTag, "\n\nFirmware file sent, waiting 1 minute before asking status");
    uint8_t status[FIRMWARE_STATUS_SIZE] = {};
    uint16_t code = 0;
    for (int minutesLeft = WAIT_MINUTES; minutesLeft > 0; minutesLeft--) {
        ShowOneMinute();
        if (!Sdk.fpKoviGetFirmwareStatus(handle, status)) {
            SdkError error = SdkLastError(handle);
            LogFormat(FlashTag, "Function fpKoviGetFirmwareStatus failed, errorcode = %d (%s)",
                      error.code, error.text);
            return FLASH_STATUS_FAILED;
        }
        code = ReadU16(status, FIRMWARE_STATUS_CODE);
        if (code == FIRMWARE_STATUS_PROGRAMMING_DONE) {
            LogFormat(FlashTag, "SUCCESS Firmware version %d flashed, reboot your frontend",
                      ReadU16(status, FIRMWARE_STATUS_VERSION));
            return FLASH_DONE;
        }
        LogFormat(FlashTag, "FirmwareStatus = %d, still waiting maximal %d minutes ", code,
                  minutesLeft);
    }
    LogFormat(FlashTag, "Post-conditions failed, statuscode 0x%x [hex] which means", code);
    LogLine(FlashTag, FirmwareStatusName(code));
    return FLASH_POSTCONDITIONS_FAILED;
}
