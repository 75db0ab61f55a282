// The firmware image file and its header.
#pragma once

#include <cstdint>

#include "flash/image_signature.h"
#include "flash/phases.h"

// The image a run flashes unless told otherwise.
extern const char* const DefaultFirmwareFileName;

struct FirmwareHeader {
    uint16_t FirmwareVer;
    uint32_t FirmwareSizeInBytes;
    uint16_t FirmwareHWVer;
    uint16_t DevID;
    uint16_t OffsetFirmware; // in 16-bit words from the start of the file
};

// Chunks of at most 30 bytes needed for an image of the given size.
uint32_t ChunkCountFor(uint32_t firmwareSize);

void DecodeFirmwareHeader(const uint8_t bytes[FIRMWARE_HEADER_SIZE], FirmwareHeader* header);

// The most bytes an image can need: the longest preload and 65,535 chunks.
enum { FIRMWARE_IMAGE_MAX_BYTES = 2 * FIRMWARE_MAX_OFFSET_WORDS + 30 * 65535 };

struct FirmwareImage {
    FirmwareHeader header;
    // The file's first 2 * OffsetFirmware + FirmwareSizeInBytes bytes, read
    // once: what is checked, hashed and sent is the same, whatever happens
    // to the file afterwards.
    uint8_t* bytes;
    char sha256[65];     // of the whole file as read; empty when not wanted
    char signedBy[17];   // --key: the fingerprint of the key that signed it, or empty
    const char* failure; // why it could not be used, as logged; null for nothing
};

// Opens the image at path, reads it in one pass (hashing the whole file with
// hashIt), closes it and validates it. On FLASH_GOES_ON image->bytes holds the
// image; on any other result the failure is logged and nothing is held.
// FLASH_STOPPED, unlogged, when a stop cut the read short. image->header
// and image->sha256 hold what was read unless the result is
// FLASH_FILE_NOT_OPENED or FLASH_HEADER_UNREADABLE.
// With namedInJson the JSON image event names the path (one of several).
// With keys (keyCount of them, hashIt set) the image must be signed by one
// (FLASH_NOT_SIGNED), checked on the bytes read before anything else.
FlashResult OpenFirmwareImage(FirmwareImage* image, const char* path, bool hashIt, bool namedInJson,
                              const TrustedKey* keys = nullptr, int keyCount = 0);

// The SHA-256 of the whole file at path, read as a run reads an image,
// without a word to the log; false when it cannot be read.
bool HashImageFile(const char* path, char sha256[65]);

// Gives the image back and passes the result on, for the ways out of the
// flash.
FlashResult ReleaseFirmwareImage(FirmwareImage* image, FlashResult result);

// --info: prints what the tool knows of the image file at path as
// "name: value" lines on the console, each check it would fail as an
// "error" line with the message a run would log; touches neither the log
// nor the file. True when a run would accept the image. With keys (--key)
// it says whether the image is signed, and by which key.
bool DescribeImage(const char* path, const TrustedKey* keys = nullptr, int keyCount = 0);
