// Arbitrary bytes as kovi_firmware.bin. An image the validation lets through
// must reach the device exactly, chunk by chunk, and nothing beyond it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "flash/chunk_transfer.h"
#include "flash/completion_wait.h"
#include "flash/firmware_image.h"
#include "output/log_line.h"
#include "sdk/sdk_binding.h"
#include "stand_in_platform.h"

namespace {
const uint8_t* Image;
size_t ImageSize;
size_t FirmwareStart;
uint32_t FirmwareSize;
uint32_t Received;
uint32_t NextPart;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "device got a bad chunk: %s (part %u)\n", what, NextPart);
        abort();
    }
}

SdkBool TakeChunk(SdkHandle, uint32_t accessCode, uint8_t* chunk) {
    uint32_t length = ReadU32(chunk, FIRMWARE_CHUNK_LENGTH);
    Check(accessCode == FlashAccessCodeFor(7, 12, 2026), "access code");
    Check(length >= 1 && length <= FIRMWARE_CHUNK_DATA_MAX, "length");
    Check(ReadU16(chunk, FIRMWARE_CHUNK_PART) == NextPart, "part number");
    Check(ReadU16(chunk, FIRMWARE_CHUNK_COUNT) == ChunkCountFor(FirmwareSize), "chunk count");
    Check(Received + length <= FirmwareSize, "a byte beyond the firmware");
    Check(FirmwareStart + Received + length <= ImageSize, "a byte beyond the file");
    Check(memcmp(chunk + FIRMWARE_CHUNK_DATA, Image + FirmwareStart + Received, length) == 0,
          "firmware bytes");
    for (size_t i = FIRMWARE_CHUNK_DATA + FIRMWARE_CHUNK_DATA_MAX; i < FIRMWARE_CHUNK_SIZE; i++) {
        Check(chunk[i] == 0, "an unset byte that is not zero");
    }
    Received += length;
    NextPart++;
    return 1;
}

SdkBool Done(SdkHandle, uint8_t* status) {
    memset(status, 0, FIRMWARE_STATUS_SIZE);
    WriteU16(status, FIRMWARE_STATUS_CODE, FIRMWARE_STATUS_PROGRAMMING_DONE);
    return 1;
}

int32_t NoError(SdkHandle) {
    return 0;
}
const char* NoText(SdkHandle, int32_t) {
    return "";
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string dir = "/tmp/kestrune-fuzz-image-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr || chdir(dir.c_str()) != 0) {
        abort();
    }
    Sdk.fpKoviKestrune = TakeChunk;
    Sdk.fpKoviGetFirmwareStatus = Done;
    Sdk.fpGetErrorCode = NoError;
    Sdk.fpGetErrorCodeMessage = NoText;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen("kovi_firmware.bin", "wb");
    if (file == nullptr || (size > 0 && fwrite(data, 1, size, file) != size)) {
        abort();
    }
    fclose(file);

    FirmwareImage image;
    if (OpenFirmwareImage(&image, "kovi_firmware.bin", false, false) == FLASH_GOES_ON) {
        const FirmwareHeader& header = image.header;
        Image = data;
        ImageSize = size;
        FirmwareStart = 2u * header.OffsetFirmware;
        FirmwareSize = header.FirmwareSizeInBytes;
        Received = 0;
        NextPart = 0;
        FlashReport report = {};
        FlashOptions options = {};
        Check(TransferFirmware(nullptr, options, image, &report) == FLASH_GOES_ON &&
                  AwaitCompletion(nullptr, &report) == FLASH_FLASHED,
              "a failed transfer");
        Check(Received == FirmwareSize, "fewer bytes than the image holds");
        ReleaseFirmwareImage(&image, FLASH_GOES_ON);
    }
    CloseLog();
    return 0;
}
