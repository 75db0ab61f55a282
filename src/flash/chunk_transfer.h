// Sending the firmware bytes to the frontend, chunk by chunk.
#pragma once

#include <cstdint>

#include "flash/firmware_image.h"

enum { BAR_WIDTH = 50 };

// How many bar positions show as sent before the given part goes out.
uint32_t BarFilled(uint32_t part, uint32_t chunkCount);

// The first part before which the bar shows more than filled positions.
uint32_t NextBarPart(uint32_t filled, uint32_t chunkCount);

// Sends the firmware of the validated image, pausing after each chunk;
// FLASH_GOES_ON once the frontend took all of it. The image stays the
// caller's.
FlashResult TransferFirmware(SdkHandle handle, const FlashOptions& options,
                             const FirmwareImage& image, FlashReport* report);
