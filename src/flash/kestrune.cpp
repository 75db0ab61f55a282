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

// One flash between its steps.
struct Flash {
    SdkHandle handle;
    const FlashOptions* options;
    FlashReport* report;
    FirmwareImage image;
    bool answeredYes;
};

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

static FlashResult OpenImage(Flash* flash) {
    LogLine(FlashTag, "WARNING: Connect the power to the Frontend !\n\n");
    FlashResult opened =
        OpenFirmwareImage(&flash->image, flash->options->imagePath, flash->options->hashImage);
    ReportImage(flash->image, opened, flash->report);
    return opened;
}

static FlashResult ReadFrontend(Flash* flash) {
    LogLine(FlashTag, "Try to get the FrontendInfo");
    uint8_t info[FRONTEND_INFO_SIZE] = {};
    if (!Sdk.fpGetFrontEndInfo(flash->handle, info)) {
        SdkError error = SdkLastError(flash->handle);
        LogFailure(FlashTag, "FrontendInfo NOT available, errorcode = %d (%s)", error.code,
                   error.text);
        return FLASH_NO_FRONTEND_INFO;
    }
    FlashReport* report = flash->report;
    report->haveInfo = true;
    report->serial = ReadI32(info, FRONTEND_INFO_SERIAL);
    report->hwVersion = ReadU16(info, FRONTEND_INFO_HW_VERSION);
    report->swVersion = ReadU16(info, FRONTEND_INFO_SW_VERSION);
    LogFormat(FlashTag, "Frontend has Serial %d", report->serial);
    LogFormat(FlashTag, "Frontend has HwVersion 0x%x", report->hwVersion);
    LogFormat(FlashTag, "Frontend has SwVersion 0x%x", report->swVersion);
    JsonFrontend(flash->options->frontendName, report->serial, report->hwVersion,
                 report->swVersion);
    // A barcode read in front of the station names the unit meant.
    if (flash->options->expectSerialSet && report->serial != flash->options->expectSerial) {
        LogFailure(FlashTag, "Frontend serial %d is not the expected %d", report->serial,
                   flash->options->expectSerial);
        return FLASH_SERIAL_MISMATCH;
    }
    return FLASH_GOES_ON;
}

// Whether the image is meant for this frontend.
static FlashResult CheckFit(Flash* flash) {
    const FirmwareHeader& header = flash->image.header;
    const FlashReport& report = *flash->report;
    char devIdText[DEVICE_ID_TEXT_SIZE];
    char serialText[DEVICE_ID_TEXT_SIZE];
    if (!CompareDeviceId(header.DevID, report.serial, devIdText, serialText)) {
        LogFailure(FlashTag, "Compare of device id [%s] with [%s] failed", devIdText, serialText);
        return FLASH_DEVICE_ID_MISMATCH;
    }
    LogLine(FlashTag, "Matching device id found");
    if (report.hwVersion != header.FirmwareHWVer) {
        LogFailure(FlashTag,
                   "Current hardware version [0x%x] different than given firmware hardware "
                   "version [0x%x]",
                   report.hwVersion, header.FirmwareHWVer);
        return FLASH_HARDWARE_MISMATCH;
    }
    LogLine(FlashTag, "Matching hardware id found");
    // An older image may be flashed on purpose; it only draws a warning.
    if (report.swVersion > header.FirmwareVer) {
        LogFormat(FlashTag,
                  "WARNING: Current firmware version [%d] more recent than given firmware file "
                  "version [%d]",
                  report.swVersion, header.FirmwareVer);
        // Nobody is there to have read the warning.
        if (flash->options->answerYes && !flash->options->allowOlder) {
            LogFailureLine(FlashTag,
                           "Older firmware is not flashed unattended, give --allow-older to "
                           "flash it");
            return FLASH_OLDER_REFUSED;
        }
    }
    return FLASH_GOES_ON;
}

// Whether the frontend may be flashed now, and needs to be.
static FlashResult AskReady(Flash* flash) {
    uint8_t status[FIRMWARE_STATUS_SIZE] = {};
    if (!Sdk.fpKoviGetFirmwareStatus(flash->handle, status)) {
        SdkError error = SdkLastError(flash->handle);
        LogFailure(FlashTag, "Function fpKoviGetFirmwareStatus failed, errorcode = %d (%s)",
                   error.code, error.text);
        return FLASH_STATUS_FAILED;
    }
    uint16_t statusCode = ReadU16(status, FIRMWARE_STATUS_CODE);
    if (statusCode != FIRMWARE_STATUS_RUNNING) {
        LogFailure(FlashTag, "Pre-conditions failed, statuscode 0x%x [hex] which means",
                   statusCode);
        LogFailureDetail(FlashTag, FirmwareStatusName(statusCode));
        return FLASH_PRECONDITIONS_FAILED;
    }
    LogFormat(FlashTag, "Pre-conditions are OK, code %d for version %d", FIRMWARE_STATUS_RUNNING,
              ReadU16(status, FIRMWARE_STATUS_VERSION));
    uint16_t swVersion = flash->report->swVersion;
    uint16_t firmwareVer = flash->image.header.FirmwareVer;
    LogFormat(FlashTag, "Frontend has SwVersion %x and Firmware file has FirmwareVer %x", swVersion,
              firmwareVer);
    if (flash->options->skipCurrent && swVersion == firmwareVer) {
        LogFormat(FlashTag, "Frontend already runs firmware version %d, nothing to flash",
                  swVersion);
        flash->report->alreadyCurrent = true;
        return FLASH_ALREADY_CURRENT;
    }
    return FLASH_GOES_ON;
}

static FlashResult Confirm(Flash* flash) {
    LogLine(FlashTag, "Press Y to flash the firmware: ");
    int key = flash->options->answerYes ? 'Y' : PlatformReadKey();
    flash->answeredYes = key >= 0 && toupper(key) == 'Y'; // no key at all is no Y
    return FLASH_GOES_ON;
}

// The steps before the transfer, each after a look for a stop where the
// table says.
struct FlashStep {
    FlashResult (*take)(Flash*);
    bool stopFirst;
};
static const FlashStep StepsBeforeTransfer[] = {
    {OpenImage, false}, {ReadFrontend, true}, {CheckFit, false}, {AskReady, true}, {Confirm, false},
};

FlashResult Kestrune(SdkHandle handle, const FlashOptions& options, FlashReport* report) {
    *report = FlashReport();
    Flash flash = {handle, &options, report, FirmwareImage(), false};
    for (const FlashStep& step : StepsBeforeTransfer) {
        if (step.stopFirst && StopBeforeFlashing(FlashTag)) {
            return ReleaseFirmwareImage(&flash.image, FLASH_STOPPED);
        }
        FlashResult result = step.take(&flash);
        if (result != FLASH_GOES_ON) {
            // A stop that came meanwhile (in a call that then failed, say)
            // is logged too.
            StopBeforeFlashing(FlashTag);
            return ReleaseFirmwareImage(&flash.image, result);
        }
    }
    // A stop at the question is its answer; no key is needed.
    if (StopBeforeFlashing(FlashTag)) {
        return ReleaseFirmwareImage(&flash.image, FLASH_STOPPED);
    }
    if (!flash.answeredYes) {
        report->declined = true;
        return ReleaseFirmwareImage(&flash.image, FLASH_DECLINED);
    }
    report->confirmed = true;
    PlatformFlashBegins();
    FlashResult result = TransferFirmware(handle, options.waitTime, flash.image, report);
    PlatformFlashEnds();
    return ReleaseFirmwareImage(&flash.image, result);
}
