#include "flash/firmware_image.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/json.h"
#include "output/log_line.h"
#include "platform/platform.h"

const char* const DefaultFirmwareFileName = "kovi_firmware.bin";

uint32_t ChunkCountFor(uint32_t firmwareSize) {
    return firmwareSize / FIRMWARE_CHUNK_DATA_MAX + (firmwareSize % FIRMWARE_CHUNK_DATA_MAX != 0);
}

void DecodeFirmwareHeader(const uint8_t bytes[FIRMWARE_HEADER_SIZE], FirmwareHeader* header) {
    header->FirmwareVer = ReadU16(bytes, FIRMWARE_HEADER_VERSION);
    header->FirmwareSizeInBytes = ReadU32(bytes, FIRMWARE_HEADER_SIZE_BYTES);
    header->FirmwareHWVer = ReadU16(bytes, FIRMWARE_HEADER_HW_VERSION);
    header->DevID = ReadU16(bytes, FIRMWARE_HEADER_DEV_ID);
    header->OffsetFirmware = ReadU16(bytes, FIRMWARE_HEADER_OFFSET);
}

// The bytes of the file the header asks for: the preload and the firmware.
static uint64_t BytesNeeded(const FirmwareHeader& header) {
    return 2u * header.OffsetFirmware + (uint64_t)header.FirmwareSizeInBytes;
}

// The checks of the image itself, in the order a run makes them; each one
// that fails is formatted into a message of its own and reported. A run stops at
// the first, --info reports them all. Returns the first failure's result,
// and in *failure what the report of the last made of it.
static FlashResult CheckImage(const FirmwareHeader& header, uint64_t read,
                              const char* (*report)(const char* message), bool all,
                              const char** failure) {
    char message[MESSAGE_BUFFER_SIZE];
    FlashResult first = FLASH_GOES_ON;
    auto failed = [&](FlashResult result) {
        *failure = report(message);
        if (first == FLASH_GOES_ON) {
            first = result;
        }
        return !all;
    };
    if (header.OffsetFirmware > FIRMWARE_MAX_OFFSET_WORDS) {
        snprintf(message, sizeof message,
                 "FirmwareHeader.OffsetFirmware [%d] far outside header size [%d]",
                 header.OffsetFirmware, FIRMWARE_HEADER_SIZE);
        if (failed(FLASH_OFFSET_TOO_LARGE)) {
            return first;
        }
    }
    if (header.FirmwareSizeInBytes % 2 != 0) {
        snprintf(message, sizeof message, "FirmwareSizeInBytes not even [%u]",
                 header.FirmwareSizeInBytes);
        if (failed(FLASH_SIZE_ODD)) {
            return first;
        }
    }
    if (header.FirmwareSizeInBytes == 0) {
        snprintf(message, sizeof message, "FirmwareSizeInBytes is 0, nothing to flash");
        if (failed(FLASH_SIZE_ZERO)) {
            return first;
        }
    }
    uint32_t chunks = ChunkCountFor(header.FirmwareSizeInBytes);
    if (chunks > FIRMWARE_MAX_CHUNKS) {
        snprintf(message, sizeof message,
                 "FirmwareSizeInBytes [%u] needs %u chunks, more than [%d]",
                 header.FirmwareSizeInBytes, chunks, FIRMWARE_MAX_CHUNKS);
        if (failed(FLASH_TOO_MANY_CHUNKS)) {
            return first;
        }
    }
    uint64_t needed = BytesNeeded(header);
    if (read < needed) {
        snprintf(message, sizeof message,
                 "Firmware file size [%llu] smaller than header needs [%llu]",
                 (unsigned long long)read, (unsigned long long)needed);
        failed(FLASH_FIRMWARE_UNREADABLE);
    }
    return first;
}

static const char* LogFailedCheck(const char* message) {
    return LogFailureLine(FlashTag, message);
}

FlashResult ReleaseFirmwareImage(FirmwareImage* image, FlashResult result) {
    free(image->bytes);
    image->bytes = nullptr;
    return result;
}

// Reads the file to its end in one pass: the first capacity bytes into
// bytes, the whole file into the hash when there is one. Returns the number
// of bytes read; a read error ends the pass like the end of the file. A stop
// asked for while the rest is hashed (a huge file takes minutes) ends it too,
// and sets *cut.
static uint64_t ReadWholeFile(FILE* stream, uint8_t* bytes, size_t capacity, PlatformSha256* hash,
                              bool* cut) {
    bool stoppedBefore = PlatformStopRequested();
    uint64_t total = 0;
    while (total < capacity) {
        size_t got = fread(bytes + total, 1, capacity - (size_t)total, stream);
        if (got == 0) {
            return total;
        }
        PlatformSha256Update(hash, bytes + total, got);
        total += got;
    }
    if (hash != nullptr) {
        uint8_t block[65536];
        size_t got;
        while ((got = fread(block, 1, sizeof block, stream)) > 0) {
            if (PlatformStopRequested() != stoppedBefore) {
                *cut = true;
                break;
            }
            PlatformSha256Update(hash, block, got);
            total += got;
        }
    }
    return total;
}

// After the first headCount bytes: reads the rest in that one pass, the
// first capacity bytes of it into rest, and closes the file. With hashIt,
// sha256 is the hash of the whole file as read, or empty if it could not be
// had. Returns the number of bytes the file held; *cut tells a pass that a
// stop ended early.
static uint64_t ReadRestAndClose(FILE* stream, const uint8_t* head, size_t headCount, uint8_t* rest,
                                 size_t capacity, bool hashIt, char sha256[65], bool* cut) {
    PlatformSha256* hash = hashIt ? PlatformSha256Begin() : nullptr;
    PlatformSha256Update(hash, head, headCount);
    *cut = false;
    uint64_t read = headCount + ReadWholeFile(stream, rest, capacity, hash, cut);
    bool readWell = !ferror(stream) && !*cut;
    fclose(stream);
    if (!PlatformSha256End(hash, sha256) || !readWell) {
        sha256[0] = '\0';
    }
    return read;
}

// Opened for writing too, so a file the operator may not change is not
// flashed; nothing is ever written to it. Only a regular file is an image:
// a FIFO or a device could block or never end. A run and --info open it
// alike, so that --info's verdict is the run's.
static FILE* OpenImageFile(const char* path) {
    errno = 0;
    return PlatformOpenRegularFile(path, true);
}

bool HashImageFile(const char* path, char sha256[65]) {
    FILE* stream = OpenImageFile(path);
    bool cut = false;
    if (stream != nullptr) {
        ReadRestAndClose(stream, nullptr, 0, nullptr, 0, true, sha256, &cut);
    }
    return stream != nullptr && sha256[0] != '\0';
}

// "Could not open file ...", after a failed open.
static void FormatOpenFailure(const char* path, char message[MESSAGE_BUFFER_SIZE]) {
    if (errno != 0) {
        snprintf(message, MESSAGE_BUFFER_SIZE, "Could not open file [%s] due to error %d", path,
                 errno);
    } else {
        snprintf(message, MESSAGE_BUFFER_SIZE, "Could not open file [%s]", path);
    }
}

FlashResult OpenFirmwareImage(FirmwareImage* image, const char* path, bool hashIt, bool namedInJson,
                              const TrustedKey* keys, int keyCount) {
    image->bytes = nullptr;
    image->sha256[0] = '\0';
    image->failure = nullptr;
    LogFormat(FlashTag, "Try to get the firmware file [%s]", path);
    FILE* stream = OpenImageFile(path);
    if (stream == nullptr) {
        char message[MESSAGE_BUFFER_SIZE];
        FormatOpenFailure(path, message);
        image->failure = LogFailureLine(FlashTag, message);
        return FLASH_FILE_NOT_OPENED;
    }
    LogFormat(FlashTag, "Firmware file [%s] is open", path);

    uint8_t bytes[FIRMWARE_HEADER_SIZE];
    if (fread(bytes, 1, sizeof bytes, stream) != sizeof bytes) {
        fclose(stream);
        image->failure = LogFailureLine(FlashTag, "Read of firmware file header failed");
        return FLASH_HEADER_UNREADABLE;
    }
    FirmwareHeader* header = &image->header;
    DecodeFirmwareHeader(bytes, header);

    // What the header asks for, bounded by what any image can need; the
    // checks below refuse anything larger.
    uint64_t needed = BytesNeeded(*header);
    size_t capacity =
        needed < FIRMWARE_IMAGE_MAX_BYTES ? (size_t)needed : (size_t)FIRMWARE_IMAGE_MAX_BYTES;
    if (capacity < FIRMWARE_HEADER_SIZE) {
        capacity = FIRMWARE_HEADER_SIZE;
    }
    image->bytes = static_cast<uint8_t*>(malloc(capacity));
    if (image->bytes == nullptr) {
        fclose(stream);
        image->failure = LogFailureLine(FlashTag, "Memory alloc failed");
        return FLASH_NO_MEMORY;
    }
    memcpy(image->bytes, bytes, sizeof bytes);
    bool cut;
    uint64_t read = ReadRestAndClose(stream, bytes, sizeof bytes, image->bytes + sizeof bytes,
                                     capacity - sizeof bytes, hashIt, image->sha256, &cut);
    if (cut) {
        return ReleaseFirmwareImage(image, FLASH_STOPPED);
    }
    image->signedBy[0] = '\0';
    if (keyCount > 0 && CheckImageSignature(path, image->sha256, keys, keyCount, image->signedBy,
                                            &image->failure) != FLASH_GOES_ON) {
        return ReleaseFirmwareImage(image, FLASH_NOT_SIGNED);
    }
    JsonImage(header->FirmwareVer, header->DevID, header->FirmwareSizeInBytes,
              ChunkCountFor(header->FirmwareSizeInBytes), image->sha256,
              namedInJson ? path : nullptr, image->signedBy);

    FlashResult checked = CheckImage(*header, read, LogFailedCheck, false, &image->failure);
    if (checked != FLASH_GOES_ON) {
        return ReleaseFirmwareImage(image, checked);
    }

    LogFormat(FlashTag, "Firmware file has DevID %d", header->DevID);
    LogFormat(FlashTag, "Firmware file has FirmwareHWVer %x", header->FirmwareHWVer);
    LogFormat(FlashTag, "Firmware file has FirmwareVer %x", header->FirmwareVer);
    return FLASH_GOES_ON;
}

static void Print(const char* name, const char* value) {
    char line[MESSAGE_BUFFER_SIZE + 64];
    int length = snprintf(line, sizeof line, "%s: %s\r\n", name, value);
    PlatformConsoleWrite(line, (size_t)length < sizeof line ? (size_t)length : sizeof line - 1);
}

static void PrintNumber(const char* name, const char* format, unsigned long long value) {
    char text[32];
    snprintf(text, sizeof text, format, value);
    Print(name, text);
}

// A number the log shows in hexadecimal: in decimal, as the history has it,
// and in the log's form.
static void PrintVersion(const char* name, unsigned value) {
    char text[32];
    snprintf(text, sizeof text, "%u (0x%x)", value, value);
    Print(name, text);
}

static const char* PrintFailedCheck(const char* message) {
    Print("error", message);
    return nullptr;
}

bool DescribeImage(const char* path, const TrustedKey* keys, int keyCount) {
    Print("file", path);
    FILE* stream = OpenImageFile(path);
    if (stream == nullptr) {
        char message[MESSAGE_BUFFER_SIZE];
        FormatOpenFailure(path, message);
        PrintFailedCheck(message);
        Print("verdict", "refused");
        return false;
    }
    uint8_t bytes[FIRMWARE_HEADER_SIZE];
    size_t got = fread(bytes, 1, sizeof bytes, stream);
    char sha256[65];
    bool cut;
    uint64_t read = ReadRestAndClose(stream, bytes, got, nullptr, 0, true, sha256, &cut);
    if (cut) {
        return false; // the caller ends as a stopped run
    }
    PrintNumber("file_size", "%llu", read);
    if (got != sizeof bytes) {
        PrintFailedCheck("Read of firmware file header failed");
        Print("verdict", "refused");
        return false;
    }
    FirmwareHeader header;
    DecodeFirmwareHeader(bytes, &header);
    PrintVersion("firmware_ver", header.FirmwareVer);
    PrintNumber("firmware_size", "%llu", header.FirmwareSizeInBytes);
    PrintVersion("firmware_hw_ver", header.FirmwareHWVer);
    PrintNumber("dev_id", "%llu", header.DevID);
    PrintNumber("offset_firmware_words", "%llu", header.OffsetFirmware);
    PrintNumber("chunk_count", "%llu", ChunkCountFor(header.FirmwareSizeInBytes));
    Print("sha256", sha256);
    const char* unused = nullptr;
    bool accepted = CheckImage(header, read, PrintFailedCheck, true, &unused) == FLASH_GOES_ON;
    char fingerprint[17];
    SignatureVerdict verdict =
        keyCount > 0 ? VerifyImageSignature(path, sha256, keys, keyCount, fingerprint) : SIGNED;
    if (keyCount > 0) {
        Print("signed_by", verdict == SIGNED         ? fingerprint
                           : verdict == NO_SIGNATURE ? "none: no signature beside it"
                                                     : "none of the keys given");
    }
    accepted = accepted && verdict == SIGNED;
    Print("verdict", accepted ? "accepted" : "refused");
    return accepted;
}
