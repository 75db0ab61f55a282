// The flash procedure: checks, confirmation, transfer, completion wait.
#pragma once

#include <cstdint>

#include "sdk/kovi_sdk.h"

// What the flash procedure reports back.
enum FlashResult {
    FLASH_DONE = 0, // flashed, or the operator declined
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
    FLASH_STOPPED = 16,       // the operator stopped the run
    FLASH_OLDER_REFUSED = 17, // an older image, unattended, without --allow-older
};

// --yes: the question is answered Y without a key; an image older than the
// frontend's firmware is then refused unless AllowOlder (--allow-older).
extern bool AnswerYes;
extern bool AllowOlder;

extern const char* const FlashTag;

// Flashes kovi_firmware.bin into the connected frontend, pausing waitTime
// milliseconds after each chunk. The firmware file is closed on every return.
FlashResult Kestrune(SdkHandle handle, uint32_t waitTime);

// Before the operator's Y: when a stop was asked for, logs that nothing was
// sent and returns true; the caller then only closes what it opened.
bool StopBeforeFlashing(const char* tag);

enum { DEVICE_ID_TEXT_SIZE = 32 };

// Writes both numbers as decimal texts; the image fits the frontend when the
// first three characters agree (a text that ends sooner differs).
bool CompareDeviceId(uint16_t devId, int32_t serial, char devIdText[DEVICE_ID_TEXT_SIZE],
                     char serialText[DEVICE_ID_TEXT_SIZE]);
