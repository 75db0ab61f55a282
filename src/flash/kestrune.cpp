#include "flash/kestrune.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "flash/chunk_transfer.h"
#include "flash/firmware_image.h"
#include "flash/firmware_status.h"
#include "output/json.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "sdk/sdk_binding.h"

const char* const FlashTag = "Kestrune";

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
    LogFailureLine(tag,
                   "\n\nStopped by the operator before flashing, nothing was sent to the frontend");
    return true;
}

// Every way out before the operator's Y: a stop that came meanwhile (in a
// call that then failed, say) is logged too.
static FlashResult NotFlashed(FirmwareImage* image, FlashResult result) {
    StopBeforeFlashing(FlashTag);
    return ReleaseFirmwareImage(image, result);
}

// The image as the record gives it.
static void ReportImage(const FirmwareImage& image, FlashResult opened, FlashReport* report) {
    report->haveImage = opened != FLASH_FILE_NOT_OPENED && opened != FLASH_HEADER_UNREADABLE;
    if (report->haveImage) {
        report->firmwareVer = image.header.FirmwareVer;
        report->devId = image.header.DevID;
        report->firmwareSize = image.header.FirmwareSizeInBytes;
        memcpy(report->imageSha256, image.sha256, sizeof image.sha256);
    }
}

FlashResult Kestrune(SdkHandle handle, const FlashOptions& options, FlashReport* report) {
    *report = FlashReport();
    LogLine(FlashTag, "WARNING: Connect the power to the Frontend !\n\n");

    FirmwareImage image;
    FlashResult opened = OpenFirmwareImage(&image, options.imagePath, options.hashImage);
    ReportImage(image, opened, report);
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
        LogFailure(FlashTag, "FrontendInfo NOT available, errorcode = %d (%s)", error.code,
                   error.text);
        return NotFlashed(&image, FLASH_NO_FRONTEND_INFO);
    }
    int32_t serial = ReadI32(info, FRONTEND_INFO_SERIAL);
    uint16_t hwVersion = ReadU16(info, FRONTEND_INFO_HW_VERSION);
    uint16_t swVersion = ReadU16(info, FRONTEND_INFO_SW_VERSION);
    report->haveInfo = true;
    report->serial = serial;
    report->hwVersion = hwVersion;
    report->swVersion = swVersion;
    LogFormat(FlashTag, "Frontend has Serial %d", serial);
    LogFormat(FlashTag, "Frontend has HwVersion 0x%x", hwVersion);
    LogFormat(FlashTag, "Frontend has SwVersion 0x%x", swVersion);
    JsonFrontend(options.frontendName, serial, hwVersion, swVersion);
    // A barcode read in front of the station names the unit meant.
    if (options.expectSerialSet && serial != options.expectSerial) {
        LogFailure(FlashTag, "Frontend serial %d is not the expected %d", serial,
                   options.expectSerial);
        return NotFlashed(&image, FLASH_SERIAL_MISMATCH);
    }

    char devIdText[DEVICE_ID_TEXT_SIZE];
    char serialText[DEVICE_ID_TEXT_SIZE];
    if (!CompareDeviceId(header.DevID, serial, devIdText, serialText)) {
        LogFailure(FlashTag, "Compare of device id [%s] with [%s] failed", devIdText, serialText);
        return NotFlashed(&image, FLASH_DEVICE_ID_MISMATCH);
    }
    LogLine(FlashTag, "Matching device id found");

    if (hwVersion != header.FirmwareHWVer) {
        LogFailure(FlashTag,
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
        if (options.answerYes && !options.allowOlder) {
            LogFailureLine(FlashTag,
                           "Older firmware is not flashed unattended, give --allow-older to "
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
        LogFailure(FlashTag, "Function fpKoviGetFirmwareStatus failed, errorcode = %d (%s)",
                   error.code, error.text);
        return NotFlashed(&image, FLASH_STATUS_FAILED);
    }
    uint16_t statusCode = ReadU16(status, FIRMWARE_STATUS_CODE);
    if (statusCode != FIRMWARE_STATUS_RUNNING) {
        LogFailure(FlashTag, "Pre-conditions failed, statuscode 0x%x [hex] which means",
                   statusCode);
        LogFailureDetail(FlashTag, FirmwareStatusName(statusCode));
        return NotFlashed(&image, FLASH_PRECONDITIONS_FAILED);
    }
    LogFormat(FlashTag, "Pre-conditions are OK, code %d for version %d", FIRMWARE_STATUS_RUNNING,
              ReadU16(status, FIRMWARE_STATUS_VERSION));

    LogFormat(FlashTag, "Frontend has SwVersion %x and Firmware file has FirmwareVer %x", swVersion,
              header.FirmwareVer);

    if (options.skipCurrent && swVersion == header.FirmwareVer) {
        LogFormat(FlashTag, "Frontend already runs firmware version %d, nothing to flash",
                  swVersion);
        report->alreadyCurrent = true;
        return ReleaseFirmwareImage(&image, FLASH_ALREADY_CURRENT);
    }

    LogLine(FlashTag, "Press Y to flash the firmware: ");
    // A stop at the question is its answer; no key is needed.
    int key = options.answerYes ? 'Y' : PlatformReadKey();
    if (StopBeforeFlashing(FlashTag)) {
        return ReleaseFirmwareImage(&image, FLASH_STOPPED);
    }
    if (key < 0 || toupper(key) != 'Y') {
        report->declined = true;
        return ReleaseFirmwareImage(&image, FLASH_DONE); // declined, or no key at all
    }
    report->confirmed = true;

    PlatformFlashBegins();
    FlashResult result = TransferFirmware(handle, options.waitTime, image, report);
    PlatformFlashEnds();
    return ReleaseFirmwareImage(&image, result);
}
