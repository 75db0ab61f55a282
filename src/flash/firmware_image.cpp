#include "flash/firmware_image.h"

#include <cerrno>
#include <sys/stat.h>

#include "output/history.h"
#include "output/log_line.h"
#include "platform/platform.h"

const char* const FirmwareFileName = "kovi_firmware.bin";

uint32_t ChunkCountFor(uint32_t firmwareSize) {
    return firmwareSize / FIRMWARE_CHUNK_DATA_MAX + (firmwareSize % FIRMWARE_CHUNK_DATA_MAX != 0);
}

// Root opens a read-only file for writing all the same; a file that nobody
// may write is refused as it is for everyone else.
static bool MayBeWritten(FILE* stream) {
    struct stat info;
    return fstat(fileno(stream), &info) != 0 || (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH));
}

void DecodeFirmwareHeader(const uint8_t bytes[FIRMWARE_HEADER_SIZE], FirmwareHeader* header) {
    header->FirmwareVer = ReadU16(bytes, FIRMWARE_HEADER_VERSION);
    header->FirmwareSizeInBytes = ReadU32(bytes, FIRMWARE_HEADER_SIZE_BYTES);
    header->FirmwareHWVer = ReadU16(bytes, FIRMWARE_HEADER_HW_VERSION);
    header->DevID = ReadU16(bytes, FIRMWARE_HEADER_DEV_ID);
    header->OffsetFirmware = ReadU16(bytes, FIRMWARE_HEADER_OFFSET);
}

// True when the file holds at least the given number of bytes (one or more);
// otherwise *actual is its size, which is then below the bound and fits a long.
static bool FileHolds(FILE* stream, long needed, long* actual) {
    if (fseek(stream, needed - 1, SEEK_SET) == 0 && fgetc(stream) != EOF) {
        return true;
    }
    *actual = fseek(stream, 0, SEEK_END) == 0 ? ftell(stream) : -1;
    return false;
}

FlashResult CloseFirmwareImage(FILE* stream, FlashResult result) {
    fclose(stream);
    return result;
}

FlashResult OpenFirmwareImage(FILE** streamOut, FirmwareHeader* header) {
    LogFormat(FlashTag, "Try to get the firmware file [%s]", FirmwareFileName);
    // Opened for writing too, so a file the operator may not change is not
    // flashed; nothing is ever written to it.
    errno = 0;
    FILE* stream = fopen(FirmwareFileName, "r+b");
    if (stream != nullptr && !MayBeWritten(stream)) {
        fclose(stream);
        stream = nullptr;
        errno = EACCES;
    }
    if (stream == nullptr) {
        if (errno != 0) {
            LogFormat(FlashTag, "Could not open file [%s] due to error %d", FirmwareFileName,
                      errno);
        } else {
            LogFormat(FlashTag, "Could not open file [%s]", FirmwareFileName);
        }
        return FLASH_FILE_NOT_OPENED;
    }
    LogFormat(FlashTag, "Firmware file [%s] is open", FirmwareFileName);

    uint8_t bytes[FIRMWARE_HEADER_SIZE];
    if (fread(bytes, 1, sizeof bytes, stream) != sizeof bytes) {
        LogLine(FlashTag, "Read of firmware file header failed");
        return CloseFirmwareImage(stream, FLASH_HEADER_UNREADABLE);
    }
    DecodeFirmwareHeader(bytes, header);
    Run.haveImage = true;
    Run.firmwareVer = header->FirmwareVer;
    Run.devId = header->DevID;
    Run.firmwareSize = header->FirmwareSizeInBytes;
    if (Run.wanted && !PlatformFileSha256(FirmwareFileName, Run.imageSha256)) {
        Run.imageSha256[0] = '\0';
    }

    if (header->OffsetFirmware > FIRMWARE_MAX_OFFSET_WORDS) {
        LogFormat(FlashTag, "FirmwareHeader.OffsetFirmware [%d] far outside header size [%d]",
                  header->OffsetFirmware, FIRMWARE_HEADER_SIZE);
        return CloseFirmwareImage(stream, FLASH_OFFSET_TOO_LARGE);
    }
    if (header->FirmwareSizeInBytes % 2 != 0) {
        LogFormat(FlashTag, "FirmwareSizeInBytes not even [%u]", header->FirmwareSizeInBytes);
        return CloseFirmwareImage(stream, FLASH_SIZE_ODD);
    }
    if (header->FirmwareSizeInBytes == 0) {
        LogLine(FlashTag, "FirmwareSizeInBytes is 0, nothing to flash");
        return CloseFirmwareImage(stream, FLASH_SIZE_ZERO);
    }
    uint32_t chunks = ChunkCountFor(header->FirmwareSizeInBytes);
    if (chunks > FIRMWARE_MAX_CHUNKS) {
        LogFormat(FlashTag, "FirmwareSizeInBytes [%u] needs %u chunks, more than [%d]",
                  header->FirmwareSizeInBytes, chunks, FIRMWARE_MAX_CHUNKS);
        return CloseFirmwareImage(stream, FLASH_TOO_MANY_CHUNKS);
    }
    // Both terms are bounded above, so the sum fits a long everywhere.
    long needed = 2L * header->OffsetFirmware + (long)header->FirmwareSizeInBytes;
    long actual = 0;
    if (!FileHolds(stream, needed, &actual)) {
        LogFormat(FlashTag, "Firmware file size [%ld] smaller than header needs [%ld]", actual,
                  needed);
        return CloseFirmwareImage(stream, FLASH_FIRMWARE_UNREADABLE);
    }
    fseek(stream, FIRMWARE_HEADER_SIZE, SEEK_SET);

    LogFormat(FlashTag, "Firmware file has DevID %d", header->DevID);
    LogFormat(FlashTag, "Firmware file has FirmwareHWVer %x", header->FirmwareHWVer);
    LogFormat(FlashTag, "Firmware file has FirmwareVer %x", header->FirmwareVer);
    *streamOut = stream;
    return FLASH_DONE;
}
