// What the phases of the flash procedure share: its results, options,
// report and log tag.
#pragma once

#include <cstdint>

#include "output/run_record.h"
#include "sdk/kovi_sdk.h"

// What the flash procedure reports back.
enum FlashResult {
    FLASH_GOES_ON = -1, // not a result: a step went well, the flash goes on
    FLASH_FLASHED = 0,  // the frontend reported success
    FLASH_FILE_NOT_OPENED = 1,
    FLASH_HEADER_UNREADABLE = 2,
    FLASH_NO_FRONTEND_INFO = 3,
    FLASH_DEVICE_ID_MISMATCH = 4,
    FLASH_HARDWARE_MISMATCH = 5,
    FLASH_NO_MEMORY = 6,
    FLASH_CHUNK_REFUSED = 7,
    FLASH_STATUS_FAILED = 8,
    FLASH_POSTCONDITIONS_FAILED = 9,
    FLASH_PRECONDITIONS_FAILED = 10,
    FLASH_FIRMWARE_UNREADABLE = 11,
    FLASH_OFFSET_TOO_LARGE = 12,
    FLASH_SIZE_ODD = 13,
    FLASH_SIZE_ZERO = 14,
    FLASH_TOO_MANY_CHUNKS = 15,
    FLASH_STOPPED = 16,          // the operator stopped the run
    FLASH_OLDER_REFUSED = 17,    // an older image, unattended, without --allow-older
    FLASH_SERIAL_MISMATCH = 18,  // not the serial --expect-serial names
    FLASH_ALREADY_CURRENT = 19,  // --skip-current: the frontend runs the image's version
    FLASH_UNVERIFIED = 20,       // --verify: the frontend did not run the image's version
    FLASH_NO_IMAGE_FITS = 21,    // several images, none for this frontend
    FLASH_IMAGES_AMBIGUOUS = 22, // two images, different bytes, for the same frontends and version
    FLASH_IMAGE_CHANGED = 23,    // a station's worker read bytes other than the station checked
    FLASH_SERIAL_CLAIMED = 24,   // another of the station's workers flashes this serial
    FLASH_NOT_SIGNED = 25,       // --key: the image is not signed by a trusted key
    FLASH_DECLINED = 100,        // the operator did not answer Y: recorded as 0
};

// The number a record gives a result: a declined flash's is 0, as it has
// always been.
int RecordedFlashResult(FlashResult result);

enum { FLASH_IMAGES_MAX = 32 }; // --image, given this many times at most

// How to flash.
struct FlashOptions {
    uint32_t waitTime;             // pause after each chunk, in milliseconds
    const char* const* imagePaths; // the image files, imageCount of them
    int imageCount;
    const char* frontendName; // the frontend connected, as UTF-8
    bool hashImage;           // the image's SHA-256 is wanted
    bool answerYes;           // --yes: Y without a key; an older image is refused
    bool allowOlder;          // --allow-older: with answerYes, an older image too
    bool expectSerialSet;     // --expect-serial: only the frontend with this serial
    int32_t expectSerial;
    bool skipCurrent; // --skip-current: not the version it already runs
    bool json;        // --json: progress events
    // A station's worker: the SHA-256 of each image as its station read it,
    // comma-separated in image order ("-" for one it could not read); null
    // for a run on its own.
    const char* stationSha256s;
    // A station's worker: the file in which it claims its unit's serial, so
    // that no two workers flash one unit; null for a run on its own.
    const char* serialClaims;
    // --key: every image must be signed by one of these (none: no check).
    const struct TrustedKey* keys;
    int keyCount;
};

extern const char* const FlashTag;

// Before the operator's Y: when a stop was asked for, logs that nothing was
// sent and gives that failure back (null when there was no stop); the
// caller then only closes what it opened.
const char* StopBeforeFlashing(const char* tag);

enum { DEVICE_ID_TEXT_SIZE = 32 };

// Writes both numbers as decimal texts; the image fits the frontend when the
// first three characters agree (a text that ends sooner differs).
bool CompareDeviceId(uint16_t devId, int32_t serial, char devIdText[DEVICE_ID_TEXT_SIZE],
                     char serialText[DEVICE_ID_TEXT_SIZE]);
