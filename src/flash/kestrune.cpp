#include "flash/kestrune.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "flash/chunk_transfer.h"
#include "flash/firmware_image.h"
#include "flash/firmware_status.h"
#include "output/history.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "sdk/sdk_binding.h"

const char* const FlashTag = "Kestrune";

bool AnswerYes;
bool AllowOlder;

bool CompareDeviceId(uint16_t devId, int32_t serial, char devIdText[DEVICE_ID_TEXT_SIZE],
                     char serialText[DEVICE_ID_TEXT_SIZE]) {
    snprintf(devIdText, DEVICE_ID_TEXT_SIZE, "%d", devId);
    snprintf(serialText, DEVICE_ID_TEXT_SIZE, "%d", serial);
    return strncmp(devIdText, serialText, 3) == 0;
}

bool StopBeforeFlashing(const char* tag) {
    if (!PlatformStopRequested()) {
        return false;
    }
    LogLine(tag, "\n\nStopped by the operator before flashing, nothing was sent to the frontend");
    return true;
}

// Every way out before the operator's Y: a stop that came meanwhile (in a
// call that then failed, say) is logged too.
static FlashResult NotFlashed(FirmwareImage* image, FlashResult result) {
    StopBeforeFlashing(FlashTag);
    return ReleaseFirmwareImage(image, result);
}

FlashResult Kestrune(SdkHandle handle, uint32_t waitTime) {
    LogLine(FlashTag, "WARNING: Connect the power to the Frontend !\n\n");

    FirmwareImage image;
    FlashResult opened = OpenFirmwareImage(&image);
    if (opened != FLASH_DONE) {
        return NotFlashed(&image, opened);
    }
    const FirmwareHeader& header = image.header;

    if (StopBeforeFlashing(FlashTag)) {
        return ReleaseFirmwareImage(&image, FLASH_STOPPED);
    }
    LogLine(FlashTag, "Try to get the FrontendInfo");
    uint8_t info[FRONTEND_INFO_SIZE] = {};
    if (!Sdk.fpGetFrontEndInfo(handle, info)) {
        SdkError error = SdkLastError(handle);
        LogFormat(FlashTag, "FrontendInfo NOT available, errorcode = %d (%s)", error.code,
                  error.text);
        return NotFlashed(&image, FLASH_NO_FRONTEND_INFO);
    }
    int32_t serial = ReadI32(info, FRONTEND_INFO_SERIAL);
    uint16_t hwVersion = ReadU16(info, FRONTEND_INFO_HW_VERSION);
    uint16_t swVersion = ReadU16(info, FRONTEND_INFO_SW_VERSION);
    Run.haveInfo = true;
    Run.serial = serial;
    Run.hwVersion = hwVersion;
    Run.swVersion = swVersion;
    LogFormat(FlashTag, "Frontend has Serial %d", serial);
    LogFormat(FlashTag, "Frontend has HwVersion 0x%x", hwVersion);
    LogFormat(FlashTag, "Frontend has SwVersion 0x%x", swVersion);

    char devIdText[DEVICE_ID_TEXT_SIZE];
    char serialText[DEVICE_ID_TEXT_SIZE];
    if (!CompareDeviceId(header.DevID, serial, devIdText, serialText)) {
        LogFormat(FlashTag, "Compare of device id [%s] with [%s] failed", devIdText, serialText);
        return NotFlashed(&image, FLASH_DEVICE_ID_MISMATCH);
    }
    LogLine(FlashTag, "Matching device id found");

    if (hwVersion != header.FirmwareHWVer) {
        LogFormat(FlashTag,
                  "Current hardware version [0x%x] different than given firmware hardware "
                  "version [0x%x]",
                  hwVersion, header.FirmwareHWVer);
        return NotFlashed(&image, FLASH_HARDWARE_MISMATCH);
    }
    LogLine(FlashTag, "Matching hardware id found");

    // An older image may be flashed on purpose; it only draws a warning.
    if (swVersion > header.FirmwareVer) {
        LogFormat(FlashTag,
                  "WARNING: Current firmware version [%d] more recent than given firmware file "
                  "version [%d]",
                  swVersion, header.FirmwareVer);
        // Nobody is there to have read the warning.
        if (AnswerYes && !AllowOlder) {
            LogLine(FlashTag, "Older firmware is not flashed unattended, give --allow-older to "
                              "flash it");
            return NotFlashed(&image, FLASH_OLDER_REFUSED);
        }
    }

    if (StopBeforeFlashing(FlashTag)) {
        return ReleaseFirmwareImage(&image, FLASH_STOPPED);
    }
    uint8_t status[FIRMWARE_STATUS_SIZE] = {};
    if (!Sdk.fpKoviGetFirmwareStatus(handle, status)) {
        SdkError error = SdkLastError(handle);
        LogFormat(FlashTag, "Function fpKoviGetFirmwareStatus failed, errorcode = %d (%s)",
                  error.code, error.text);
        return NotFlashed(&image, FLASH_STATUS_FAILED);
    }
    uint16_t statusCode = ReadU16(status, FIRMWARE_STATUS_CODE);
    if (statusCode != FIRMWARE_STATUS_RUNNING) {
        LogFormat(FlashTag, "Pre-conditions failed, statuscode 0x%x [hex] which means", statusCode);
        LogLine(FlashTag, FirmwareStatusName(statusCode));
        return NotFlashed(&image, FLASH_PRECONDITIONS_FAILED);
    }
    LogFormat(FlashTag, "Pre-conditions are OK, code %d for version %d", FIRMWARE_STATUS_RUNNING,
              ReadU16(status, FIRMWARE_STATUS_VERSION));

    LogFormat(FlashTag, "Frontend has SwVersion %x and Firmware file has FirmwareVer %x", swVersion,
              header.FirmwareVer);

    LogLine(FlashTag, "Press Y to flash the firmware: ");
    // A stop at the question is its answer; no key is needed.
    int key = AnswerYes ? 'Y' : PlatformReadKey();
    if (StopBeforeFlashing(FlashTag)) {
        return ReleaseFirmwareImage(&image, FLASH_STOPPED);
    }
    if (key < 0 || toupper(key) != 'Y') {
        Run.declined = true;
        return ReleaseFirmwareImage(&image, FLASH_DONE); // declined, or no key at all
    }
    Run.confirmed = true;

    PlatformFlashBegins();
    FlashResult result = TransferFirmware(handle, waitTime, image);
    PlatformFlashEnds();
    return ReleaseFirmwareImage(&image, result);
}
