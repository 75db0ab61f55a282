#include "flash/completion_wait.h"

#include <cstring>

#include "flash/firmware_status.h"
#include "output/json.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "sdk/sdk_binding.h"

enum { WAIT_MINUTES = 6, DISPLAY_WIDTH = 30, DISPLAY_STEP_MS = 1000 };

// Waits one step, then draws; false, with nothing drawn, once the operator
// has asked to stop.
static bool Step(const char* bytes, size_t count) {
    PlatformSleep(DISPLAY_STEP_MS);
    if (PlatformStopRequested()) {
        return false;
    }
    PlatformConsoleRedraw(bytes, count);
    return true;
}

// One minute on the console: the line turns from "|" to "_", one position
// every two seconds, and ends in stars; a program hears every ten seconds
// that the wait goes on. False, at once, when the operator asks to stop.
static bool ShowOneMinute(int minutesLeft) {
    char line[1 + DISPLAY_WIDTH];
    memset(line + 1, '|', DISPLAY_WIDTH);
    PlatformConsoleWrite(line + 1, DISPLAY_WIDTH);
    line[0] = '\r';
    memset(line + 1, '_', DISPLAY_WIDTH);
    for (int i = 0; i < DISPLAY_WIDTH; i++) {
        if (i % 5 == 0) {
            int secondsToQuery = 60 - 2 * i;
            JsonWaiting(secondsToQuery, secondsToQuery + (minutesLeft - 1) * 60LL);
        }
        if (!Step(line, 1 + (size_t)i) || !Step("/", 1)) {
            return false;
        }
    }
    static const char done[] = "\r******************************\n\n";
    PlatformConsoleWrite(done, sizeof done - 1);
    return true;
}

static const char* LogWaitStopped() {
    return LogFailureLine(FlashTag,
                          "\n\nStopped by the operator while waiting, the frontend may still be "
                          "programming: keep its power on");
}

FlashResult AwaitCompletion(SdkHandle handle, FlashReport* report) {
    LogLine(FlashTag, "\n\nFirmware file sent, waiting 1 minute before asking status");
    uint8_t status[FIRMWARE_STATUS_SIZE] = {};
    uint16_t code = 0;
    for (int minutesLeft = WAIT_MINUTES; minutesLeft > 0; minutesLeft--) {
        if (!ShowOneMinute(minutesLeft)) {
            report->failure = LogWaitStopped();
            return FLASH_STOPPED;
        }
        if (!Sdk.fpKoviGetFirmwareStatus(handle, status)) {
            SdkError error = SdkLastError(handle);
            report->failure =
                LogFailure(FlashTag, "Function fpKoviGetFirmwareStatus failed, errorcode = %d (%s)",
                           error.code, error.text);
            if (PlatformStopRequested()) {
                report->failure = LogWaitStopped();
            }
            return FLASH_STATUS_FAILED;
        }
        code = ReadU16(status, FIRMWARE_STATUS_CODE);
        JsonStatus(code, FirmwareStatusName(code), minutesLeft);
        if (code == FIRMWARE_STATUS_PROGRAMMING_DONE) {
            report->flashed = true;
            report->reportedVersion = ReadU16(status, FIRMWARE_STATUS_VERSION);
            LogFormat(FlashTag, "SUCCESS Firmware version %d flashed, reboot your frontend",
                      ReadU16(status, FIRMWARE_STATUS_VERSION));
            return FLASH_FLASHED;
        }
        LogFormat(FlashTag, "FirmwareStatus = %d, still waiting maximal %d minutes ", code,
                  minutesLeft);
    }
    report->failure =
        LogFailure(FlashTag, "Post-conditions failed, statuscode 0x%x [hex] which means", code);
    report->failure = LogFailureDetail(FlashTag, FirmwareStatusName(code));
    return FLASH_POSTCONDITIONS_FAILED;
}
