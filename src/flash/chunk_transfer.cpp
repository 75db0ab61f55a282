#include "flash/chunk_transfer.h"

#include <cstdlib>
#include <cstring>

#include "output/json.h"
#include "output/log_line.h"
#include "platform/platform.h"
#include "sdk/sdk_binding.h"

uint32_t BarFilled(uint32_t part, uint32_t chunkCount) {
    return BAR_WIDTH * part / chunkCount; // at most 50 * 65535: fits 32 bits
}

uint32_t NextBarPart(uint32_t filled, uint32_t chunkCount) {
    return ((filled + 1) * chunkCount + BAR_WIDTH - 1) / BAR_WIDTH;
}

static void DrawBar(uint32_t filled) {
    char line[1 + BAR_WIDTH];
    line[0] = '\r';
    memset(line + 1, '_', filled);
    memset(line + 1 + filled, '|', BAR_WIDTH - filled);
    PlatformConsoleRedraw(line, sizeof line);
}

static uint32_t TodaysAccessCode() {
    int day, month, year;
    PlatformLocalDate(&day, &month, &year);
    return FlashAccessCodeFor(day, month, year);
}

// Where the transfer stopped; nothing was sent when no chunk was taken.
static const char* LogTransferStopped(uint32_t sent, uint32_t chunkCount) {
    if (sent == 0) {
        return StopBeforeFlashing(FlashTag);
    }
    return LogFailure(
        FlashTag, "\n\nStopped by the operator after %u of %u chunks, flash the whole image again",
        sent, chunkCount);
}

// The record every chunk goes out in, allocated once, zeroed so that no byte
// of undefined value ever reaches the device, and loaded with the start of
// the file: it rides along in every chunk where no field of the chunk
// itself stands. Null when there is no memory.
static uint8_t* NewChunkRecord(const FirmwareImage& image, uint16_t chunkCount) {
    uint8_t* chunk = static_cast<uint8_t*>(calloc(1, FIRMWARE_CHUNK_SIZE));
    if (chunk != nullptr) {
        memcpy(chunk, image.bytes, 2u * image.header.OffsetFirmware);
        WriteU16(chunk, FIRMWARE_CHUNK_COUNT, chunkCount);
    }
    return chunk;
}

// Sends every chunk, pausing after each; FLASH_GOES_ON once all are taken.
static FlashResult SendChunks(SdkHandle handle, const FlashOptions& options,
                              const FirmwareImage& image, uint8_t* chunk, uint16_t chunkCount,
                              FlashReport* report) {
    uint32_t accessCode = TodaysAccessCode();
    const uint8_t* firmware = image.bytes + 2u * image.header.OffsetFirmware;
    uint64_t started = PlatformMilliseconds();
    uint32_t remaining = image.header.FirmwareSizeInBytes;
    // Worked out once per redraw rather than divided out for every chunk.
    uint32_t nextRedraw = NextBarPart(0, chunkCount);
    for (uint32_t part = 0; remaining > 0; part++) {
        // The chunk in flight when the operator asked to stop has been
        // taken; no further one goes out.
        if (PlatformStopRequested()) {
            report->failure = LogTransferStopped(part, chunkCount);
            return FLASH_STOPPED;
        }
        uint32_t length = remaining < (uint32_t)FIRMWARE_CHUNK_DATA_MAX
                              ? remaining
                              : (uint32_t)FIRMWARE_CHUNK_DATA_MAX;
        WriteU16(chunk, FIRMWARE_CHUNK_PART, (uint16_t)part);
        WriteU32(chunk, FIRMWARE_CHUNK_LENGTH, length);
        memcpy(chunk + FIRMWARE_CHUNK_DATA, firmware, length);
        firmware += length;
        if (part == nextRedraw) {
            uint32_t filled = BarFilled(part, chunkCount);
            DrawBar(filled);
            nextRedraw = NextBarPart(filled, chunkCount);
        }
        if (!Sdk.fpKoviKestrune(handle, accessCode, chunk)) {
            SdkError error = SdkLastError(handle);
            report->failure = LogFailure(
                FlashTag, "Function fpKoviKestrune failed for part %u, errorcode = %d (%s)", part,
                error.code, error.text);
            if (PlatformStopRequested()) {
                report->failure = LogTransferStopped(part, chunkCount);
            }
            return FLASH_CHUNK_REFUSED;
        }
        report->chunksSent = part + 1;
        if (options.json) {
            JsonProgress(part + 1, chunkCount, started);
        }
        if (options.waitTime != 0) {
            PlatformSleep(options.waitTime);
        }
        remaining -= length;
    }
    return FLASH_GOES_ON;
}

FlashResult TransferFirmware(SdkHandle handle, const FlashOptions& options,
                             const FirmwareImage& image, FlashReport* report) {
    uint16_t chunkCount = (uint16_t)ChunkCountFor(image.header.FirmwareSizeInBytes);
    uint8_t* chunk = NewChunkRecord(image, chunkCount);
    if (chunk == nullptr) {
        report->failure = LogFailureLine(FlashTag, "Memory alloc failed");
        return FLASH_NO_MEMORY;
    }
    LogFormat(FlashTag, "Need to send %d file chunks", chunkCount);
    LogLine(FlashTag, "Sending firmware file:\n");
    FlashResult sent = SendChunks(handle, options, image, chunk, chunkCount, report);
    free(chunk);
    if (sent != FLASH_GOES_ON) {
        return sent;
    }
    char stars[1 + BAR_WIDTH];
    stars[0] = '\r';
    memset(stars + 1, '*', BAR_WIDTH);
    PlatformConsoleWrite(stars, sizeof stars);
    return FLASH_GOES_ON;
}
