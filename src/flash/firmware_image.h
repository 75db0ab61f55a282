// The firmware image file and its header.
#pragma once

#include <cstdint>
#include <cstdio>

#include "flash/kestrune.h"

extern const char* const FirmwareFileName;

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

// Opens and validates the image. On FLASH_DONE *stream stands just behind the
// header; on any other result the failure is logged and no stream is open.
FlashResult OpenFirmwareImage(FILE** stream, FirmwareHeader* header);

// Closes the image and passes the result on, for the ways out of the flash.
FlashResult CloseFirmwareImage(FILE* stream, FlashResult result);
