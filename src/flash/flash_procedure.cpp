#include "flash/flash_procedure.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "flash/chunk_transfer.h"
#include "flash/completion_wait.h"
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
    FirmwareImage images[FLASH_IMAGES_MAX]; // as given; all read before the frontend is asked
    int chosen;                             // the one for this frontend
    bool answeredYes;
};

static FirmwareImage& Chosen(Flash* flash) {
    return flash->images[flash->chosen];
}

// Every image given back, the result passed on: the ways out of the flash.
static FlashResult ReleaseImages(Flash* flash, FlashResult result) {
    for (int k = 0; k < flash->options->imageCount; k++) {
        ReleaseFirmwareImage(&flash->images[k], result);
    }
    return result;
}

// The image as the record gives it.
static void ReportImage(const FirmwareImage& image, FlashResult opened, FlashReport* report) {
    report->haveImage = opened != FLASH_FILE_NOT_OPENED && opened != FLASH_HEADER_UNREADABLE;
    if (report->haveImage) {
        report->firmwareVer = image.header.FirmwareVer;
        report->devId = image.header.DevID;
        report->firmwareSize = image.header.FirmwareSizeInBytes;
        memcpy(report->imageSha256, image.sha256, sizeof image.sha256);
        memcpy(report->signedBy, image.signedBy, sizeof image.signedBy);
    }
}

// Two images whose bytes differ for the same frontends and version: which
// one a unit got would be chance.
static FlashResult RefuseAmbiguous(Flash* flash) {
    const char* const* paths = flash->options->imagePaths;
    for (int a = 0; a < flash->options->imageCount; a++) {
        for (int b = a + 1; b < flash->options->imageCount; b++) {
            const FirmwareImage& x = flash->images[a];
            const FirmwareImage& y = flash->images[b];
            size_t size = (size_t)2 * x.header.OffsetFirmware + x.header.FirmwareSizeInBytes;
            bool sameFit = x.header.DevID == y.header.DevID &&
                           x.header.FirmwareHWVer == y.header.FirmwareHWVer &&
                           x.header.FirmwareVer == y.header.FirmwareVer;
            bool sameBytes =
                sameFit &&
                size == (size_t)2 * y.header.OffsetFirmware + y.header.FirmwareSizeInBytes &&
                memcmp(x.bytes, y.bytes, size) == 0;
            if (sameFit && !sameBytes) {
                flash->report->failure = LogFailure(
                    FlashTag, "Images [%s] and [%s] fit the same frontends with the same version",
                    paths[a], paths[b]);
                return FLASH_IMAGES_AMBIGUOUS;
            }
        }
    }
    return FLASH_GOES_ON;
}

// A station's worker flashes only the bytes its station checked: an image
// changed since (copied over, rewritten in place) could give a unit a mix
// of two images that never existed.
static FlashResult CheckAsStationRead(Flash* flash, int k) {
    const char* checked = flash->options->stationSha256s;
    for (int skip = 0; checked != nullptr && skip < k; skip++) {
        checked = strchr(checked, ',');
        checked = checked != nullptr ? checked + 1 : nullptr;
    }
    if (flash->options->stationSha256s == nullptr) {
        return FLASH_GOES_ON;
    }
    const char* read = flash->images[k].sha256;
    if (checked == nullptr || read[0] == '\0' || strncmp(checked, read, 64) != 0) {
        flash->report->failure =
            LogFailure(FlashTag, "Image [%s] changed since the station checked it, not flashed",
                       flash->options->imagePaths[k]);
        return FLASH_IMAGE_CHANGED;
    }
    return FLASH_GOES_ON;
}

static FlashResult OpenImage(Flash* flash) {
    LogLine(FlashTag, "WARNING: Connect the power to the Frontend !\n\n");
    bool several = flash->options->imageCount > 1;
    for (int k = 0; k < flash->options->imageCount; k++) {
        flash->chosen = k; // the record names the image a refusal is about
        FlashResult opened = OpenFirmwareImage(&flash->images[k], flash->options->imagePaths[k],
                                               flash->options->hashImage, several,
                                               flash->options->keys, flash->options->keyCount);
        ReportImage(flash->images[k], opened, flash->report);
        flash->report->failure = flash->images[k].failure;
        opened = opened == FLASH_GOES_ON ? CheckAsStationRead(flash, k) : opened;
        if (opened != FLASH_GOES_ON) {
            return opened;
        }
    }
    flash->chosen = 0;
    return several ? RefuseAmbiguous(flash) : FLASH_GOES_ON;
}

static FlashResult ReadFrontend(Flash* flash) {
    LogLine(FlashTag, "Try to get the FrontendInfo");
    uint8_t info[FRONTEND_INFO_SIZE] = {};
    if (!Sdk.fpGetFrontEndInfo(flash->handle, info)) {
        SdkError error = SdkLastError(flash->handle);
        flash->report->failure = LogFailure(
            FlashTag, "FrontendInfo NOT available, errorcode = %d (%s)", error.code, error.text);
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
        flash->report->failure = LogFailure(FlashTag, "Frontend serial %d is not the expected %d",
                                            report->serial, flash->options->expectSerial);
        return FLASH_SERIAL_MISMATCH;
    }
    // One unit, one worker: a unit that shows up under a second name (its
    // bootloader's, say) is not flashed by a second worker at once. The
    // claim is the process's until it ends: a second try (--retries, the
    // same serial) has it already, and a claim taken again would be
    // refused as another's.
    static bool claimed;
    static int32_t claimedSerial;
    uint32_t error = 0;
    bool claimNeeded =
        flash->options->serialClaims != nullptr && !(claimed && claimedSerial == report->serial);
    if (claimNeeded &&
        !PlatformClaimNumber(flash->options->serialClaims, (uint32_t)report->serial, &error)) {
        flash->report->failure =
            error != 0
                ? LogFailure(FlashTag,
                             "Frontend serial %d could not be claimed, error %d, not flashed",
                             report->serial, (int)error)
                : LogFailure(FlashTag,
                             "Frontend serial %d is being flashed by another worker, not flashed",
                             report->serial);
        return FLASH_SERIAL_CLAIMED;
    }
    claimed = claimed || claimNeeded;
    claimedSerial = claimNeeded ? report->serial : claimedSerial;
    return FLASH_GOES_ON;
}

// Of several images, the newest of those meant for this frontend.
static FlashResult ChooseImage(Flash* flash) {
    if (flash->options->imageCount < 2) {
        return FLASH_GOES_ON;
    }
    const FlashReport& report = *flash->report;
    int chosen = -1;
    for (int k = 0; k < flash->options->imageCount; k++) {
        const FirmwareHeader& header = flash->images[k].header;
        char devIdText[DEVICE_ID_TEXT_SIZE], serialText[DEVICE_ID_TEXT_SIZE];
        bool fits = CompareDeviceId(header.DevID, report.serial, devIdText, serialText) &&
                    header.FirmwareHWVer == report.hwVersion;
        if (fits && (chosen < 0 || header.FirmwareVer > flash->images[chosen].header.FirmwareVer)) {
            chosen = k;
        }
    }
    if (chosen < 0) {
        flash->report->haveImage = false; // none is this run's
        flash->report->failure =
            LogFailure(FlashTag, "No image fits frontend serial %d with hardware version 0x%x",
                       report.serial, report.hwVersion);
        return FLASH_NO_IMAGE_FITS;
    }
    flash->chosen = chosen;
    ReportImage(Chosen(flash), FLASH_GOES_ON, flash->report);
    flash->report->chosenImage = flash->options->imagePaths[chosen];
    LogFormat(FlashTag, "Image [%s] fits this frontend", flash->options->imagePaths[chosen]);
    return FLASH_GOES_ON;
}

// Whether the image is meant for this frontend.
static FlashResult CheckFit(Flash* flash) {
    const FirmwareHeader& header = Chosen(flash).header;
    const FlashReport& report = *flash->report;
    char devIdText[DEVICE_ID_TEXT_SIZE];
    char serialText[DEVICE_ID_TEXT_SIZE];
    if (!CompareDeviceId(header.DevID, report.serial, devIdText, serialText)) {
        flash->report->failure = LogFailure(FlashTag, "Compare of device id [%s] with [%s] failed",
                                            devIdText, serialText);
        return FLASH_DEVICE_ID_MISMATCH;
    }
    LogLine(FlashTag, "Matching device id found");
    if (report.hwVersion != header.FirmwareHWVer) {
        flash->report->failure =
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
            flash->report->failure = LogFailureLine(
                FlashTag, "Older firmware is not flashed unattended, give --allow-older to "
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
        flash->report->failure =
            LogFailure(FlashTag, "Function fpKoviGetFirmwareStatus failed, errorcode = %d (%s)",
                       error.code, error.text);
        return FLASH_STATUS_FAILED;
    }
    uint16_t statusCode = ReadU16(status, FIRMWARE_STATUS_CODE);
    if (statusCode != FIRMWARE_STATUS_RUNNING) {
        flash->report->failure = LogFailure(
            FlashTag, "Pre-conditions failed, statuscode 0x%x [hex] which means", statusCode);
        flash->report->failure = LogFailureDetail(FlashTag, FirmwareStatusName(statusCode));
        return FLASH_PRECONDITIONS_FAILED;
    }
    LogFormat(FlashTag, "Pre-conditions are OK, code %d for version %d", FIRMWARE_STATUS_RUNNING,
              ReadU16(status, FIRMWARE_STATUS_VERSION));
    uint16_t swVersion = flash->report->swVersion;
    uint16_t firmwareVer = Chosen(flash).header.FirmwareVer;
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
    {OpenImage, false}, {ReadFrontend, true}, {ChooseImage, false},
    {CheckFit, false},  {AskReady, true},     {Confirm, false},
};

// A stop asked for before the Y: logged, and what the flash ends with.
static bool Stopped(Flash* flash) {
    const char* stop = StopBeforeFlashing(FlashTag);
    flash->report->failure = stop != nullptr ? stop : flash->report->failure;
    return stop != nullptr;
}

FlashResult FlashFrontend(SdkHandle handle, const FlashOptions& options, FlashReport* report) {
    *report = FlashReport();
    Flash flash = {handle, &options, report, {}, 0, false};
    for (const FlashStep& step : StepsBeforeTransfer) {
        if (step.stopFirst && Stopped(&flash)) {
            return ReleaseImages(&flash, FLASH_STOPPED);
        }
        FlashResult result = step.take(&flash);
        if (result != FLASH_GOES_ON) {
            // A stop that came meanwhile (in a call that then failed, say)
            // is logged too.
            Stopped(&flash);
            return ReleaseImages(&flash, result);
        }
    }
    // A stop at the question is its answer; no key is needed.
    if (Stopped(&flash)) {
        return ReleaseImages(&flash, FLASH_STOPPED);
    }
    if (!flash.answeredYes) {
        report->declined = true;
        return ReleaseImages(&flash, FLASH_DECLINED);
    }
    report->confirmed = true;
    PlatformFlashBegins();
    FlashResult result = TransferFirmware(handle, options, Chosen(&flash), report);
    if (result == FLASH_GOES_ON) {
        result = AwaitCompletion(handle, report);
    }
    PlatformFlashEnds();
    return ReleaseImages(&flash, result);
}
