#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "console_capture.h"
#include "flash/chunk_transfer.h"
#include "flash/firmware_image.h"
#include "flash/firmware_status.h"
#include "flash/flash_procedure.h"
#include "output/log_line.h"
#include "sdk/sdk_binding.h"
#include "temp_dir.h"

TEST(FirmwareHeader, FieldsAreLittleEndianAtTheirOffsets) {
    uint8_t bytes[FIRMWARE_HEADER_SIZE];
    for (int i = 0; i < FIRMWARE_HEADER_SIZE; i++) {
        bytes[i] = (uint8_t)(0x10 + i);
    }
    FirmwareHeader header;
    DecodeFirmwareHeader(bytes, &header);
    EXPECT_EQ(header.FirmwareVer, 0x1514);
    EXPECT_EQ(header.FirmwareSizeInBytes, 0x1B1A1918u);
    EXPECT_EQ(header.FirmwareHWVer, 0x2322);
    EXPECT_EQ(header.DevID, 0x2524);
    EXPECT_EQ(header.OffsetFirmware, 0x2928);
}

TEST(Records, SignedSerialReadsNegativeFromTheTopBit) {
    const uint8_t bytes[] = {0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF,
                             0xFF, 0xFF, 0x87, 0xD6, 0x12, 0x00};
    EXPECT_EQ(ReadI32(bytes, 0), -2147483647 - 1);
    EXPECT_EQ(ReadI32(bytes, 4), -1);
    EXPECT_EQ(ReadI32(bytes, 8), 1234567);
}

TEST(FirmwareStatus, EveryCodeHasItsText) {
    const struct {
        uint16_t code;
        const char* name;
    } names[] = {
        {0, "Undefined"},
        {1, "Running (current firmware Ok)"},
        {2, "Erasing (Old Firmware is being erased)"},
        {3, "Verifying (New Firmware is being verified)"},
        {4, "Programming (New firmware is being flashed)"},
        {5, "Programming done, wait for reboot"},
        {0x100, "CRC Error"},
        {0x200, "Firmware size too large (pre-condition)"},
        {0x300, "Firmware size too small (pre-condition)"},
        {0x400, "Erase failed"},
        {0x500, "Incorrect Hardware version (pre-condition)"},
        {0x600, "Incorrect Device ID  (pre-condition)"},
        {0x700, "No Ext power  (pre-condition)"},
        {0x800, "Battery too low  (pre-condition)"},
        {6, "Reserved"},
        {0x101, "Reserved"},
        {0x201, "Reserved"},
        {0x900, "Reserved"},
        {0xFFFF, "Reserved"},
    };
    for (const auto& entry : names) {
        EXPECT_STREQ(FirmwareStatusName(entry.code), entry.name) << entry.code;
    }
}

TEST(DeviceId, LeadingThreeDigitsOfTheSerial) {
    char devId[DEVICE_ID_TEXT_SIZE], serial[DEVICE_ID_TEXT_SIZE];
    EXPECT_TRUE(CompareDeviceId(123, 1234567, devId, serial));
    EXPECT_FALSE(CompareDeviceId(12, 123, devId, serial));
    EXPECT_STREQ(devId, "12");
    EXPECT_STREQ(serial, "123");
    EXPECT_TRUE(CompareDeviceId(12, 12, devId, serial));
    EXPECT_FALSE(CompareDeviceId(123, 124999, devId, serial));
    EXPECT_TRUE(CompareDeviceId(65535, 655, devId, serial));
}

TEST(DeviceId, NegativeSerialNeverMatches) {
    char devId[DEVICE_ID_TEXT_SIZE], serial[DEVICE_ID_TEXT_SIZE];
    EXPECT_FALSE(CompareDeviceId(214, (int32_t)2147483648u, devId, serial));
    EXPECT_STREQ(serial, "-2147483648");
    for (uint16_t devId16 : {0, 1, 12, 123, 999, 65535}) {
        EXPECT_FALSE(CompareDeviceId(devId16, -1, devId, serial));
    }
}

TEST(Chunks, CountRoundsUp) {
    EXPECT_EQ(ChunkCountFor(30), 1u);
    EXPECT_EQ(ChunkCountFor(32), 2u);
    EXPECT_EQ(ChunkCountFor(2), 1u);
    EXPECT_EQ(ChunkCountFor(60), 2u);
    EXPECT_EQ(ChunkCountFor(1966050), 65535u);
    EXPECT_EQ(ChunkCountFor(1966052), 65536u);
    EXPECT_EQ(ChunkCountFor(4294967294u), 143165577u);
}

TEST(Bar, ShowsChunksAlreadyAccepted) {
    EXPECT_EQ(BarFilled(0, 1), 0u);
    EXPECT_EQ(BarFilled(0, 2), 0u);
    EXPECT_EQ(BarFilled(1, 2), 25u);
    EXPECT_EQ(BarFilled(1, 4), 12u);
    EXPECT_EQ(BarFilled(3, 4), 37u);
    for (uint32_t count : {1u, 2u, 3u, 49u, 50u, 51u, 99u, 1000u, 65535u}) {
        EXPECT_LE(BarFilled(count - 1, count), 49u) << count;
    }
    EXPECT_EQ(BarFilled(65534, 65535), 49u);
}

// The redraws scheduled ahead are exactly the parts where the bar moves.
TEST(Bar, RedrawsWhereverItMoves) {
    for (uint32_t count = 1; count <= 65535; count += count < 300 ? 1 : 997) {
        uint32_t next = NextBarPart(0, count);
        for (uint32_t part = 0; part < count; part++) {
            bool moves = BarFilled(part, count) != (part ? BarFilled(part - 1, count) : 0);
            ASSERT_EQ(part == next, moves) << part << " of " << count;
            if (moves) {
                next = NextBarPart(BarFilled(part, count), count);
            }
        }
    }
}

TEST(AccessCode, DateAsDdmmyyyyMasked) {
    EXPECT_EQ(FlashAccessCodeFor(7, 12, 2026), 7122026u & FLASH_ACCESS_CODE_MASK);
    EXPECT_EQ(FlashAccessCodeFor(7, 12, 2026), 0x48A46Au);
    EXPECT_EQ(FlashAccessCodeFor(31, 12, 2099), 31122099u & 0x5AA5FFu);
    EXPECT_EQ(FlashAccessCodeFor(1, 1, 2000), 1012000u & 0x5AA5FFu);
    EXPECT_LE(FLASH_ACCESS_CODE_MASK, 0xFFFFFFu) << "a 24-bit mask";
}

// The transfer against an in-process device that keeps every chunk and
// refuses the last one, so that the run ends before the completion wait.
namespace {
std::vector<std::vector<uint8_t>> Chunks;
uint32_t RefuseAtPart;

SdkBool KeepChunk(SdkHandle, uint32_t, uint8_t* chunk) {
    Chunks.emplace_back(chunk, chunk + FIRMWARE_CHUNK_SIZE);
    return ReadU16(chunk, FIRMWARE_CHUNK_PART) == RefuseAtPart ? 0 : 0x80;
}
int32_t ErrorCode(SdkHandle) {
    return 42;
}
const char* ErrorText(SdkHandle, int32_t) {
    return nullptr;
}
} // namespace

class TransferTest : public ::testing::Test {
  protected:
    TempDir dir;
    void SetUp() override {
        Chunks.clear();
        Sdk.fpKoviKestrune = KeepChunk;
        Sdk.fpGetErrorCode = ErrorCode;
        Sdk.fpGetErrorCodeMessage = ErrorText;
    }
    void TearDown() override { CloseLog(); }

    std::vector<uint8_t> WriteImage(uint16_t offsetWords, uint32_t size) {
        std::vector<uint8_t> file(2 * offsetWords + size);
        for (size_t i = 0; i < file.size(); i++) {
            file[i] = (uint8_t)(i * 13 + 1);
        }
        WriteU32(file.data(), FIRMWARE_HEADER_SIZE_BYTES, size);
        WriteU16(file.data(), FIRMWARE_HEADER_OFFSET, offsetWords);
        std::ofstream("kovi_firmware.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), (std::streamsize)file.size());
        return file;
    }

    // Reads the image the way a run does and transfers it.
    FlashResult Transfer(uint32_t firmwareSize) {
        FirmwareImage image;
        EXPECT_EQ(OpenFirmwareImage(&image, "kovi_firmware.bin", false, false), FLASH_GOES_ON);
        EXPECT_EQ(image.header.FirmwareSizeInBytes, firmwareSize);
        RefuseAtPart = ChunkCountFor(firmwareSize) - 1;
        testing::internal::CaptureStdout();
        FlashReport report = {};
        FlashResult result = TransferFirmware(nullptr, FlashOptions{}, image, &report);
        ReleaseFirmwareImage(&image, result);
        console = CapturedConsole();
        return result;
    }
    std::string console;
};

TEST_F(TransferTest, ChunkCarriesHeaderFieldsAndNoUndefinedBytes) {
    std::vector<uint8_t> file = WriteImage(28, 62); // three chunks: 30, 30, 2
    EXPECT_EQ(Transfer(62), FLASH_CHUNK_REFUSED);
    ASSERT_EQ(Chunks.size(), 3u);
    for (uint16_t part = 0; part < 3; part++) {
        const std::vector<uint8_t>& chunk = Chunks[part];
        EXPECT_EQ(ReadU16(chunk.data(), FIRMWARE_CHUNK_PART), part);
        EXPECT_EQ(ReadU16(chunk.data(), FIRMWARE_CHUNK_COUNT), 3);
        EXPECT_EQ(ReadU32(chunk.data(), FIRMWARE_CHUNK_LENGTH), part < 2 ? 30u : 2u);
        for (size_t i : {0, 7, 12, 13, 18, 25}) {
            EXPECT_EQ(chunk[i], file[i]) << "header byte " << i << " in part " << part;
        }
        for (size_t i = 56; i < FIRMWARE_CHUNK_SIZE; i++) {
            EXPECT_EQ(chunk[i], 0) << "byte " << i << " is never set and must be zero";
        }
    }
    EXPECT_EQ(0, memcmp(&Chunks[1][26], &file[56 + 30], 30));
    EXPECT_EQ(0, memcmp(&Chunks[2][26], &file[56 + 60], 2));
    EXPECT_EQ(0, memcmp(&Chunks[2][28], &file[56 + 32], 28)) << "rest of the part before";
}

TEST_F(TransferTest, RefusalNamesThePartFromZero) {
    WriteImage(14, 120); // four chunks; the fourth is refused
    EXPECT_EQ(Transfer(120), FLASH_CHUNK_REFUSED);
    EXPECT_NE(console.find("Function fpKoviKestrune failed for part 3, errorcode = 42 ((null))"),
              std::string::npos)
        << console;
}

TEST_F(TransferTest, BarForTwoChunksIsDrawnOnceHalfFull) {
    WriteImage(14, 32);
    Transfer(32);
    std::string bar = "\r" + std::string(25, '_') + std::string(25, '|');
    size_t drawn = 0;
    for (size_t at = console.find('\r'); at != std::string::npos; at = console.find('\r', at + 1)) {
        drawn += console.compare(at, 2, "\r\n") != 0;
    }
    EXPECT_EQ(drawn, 1u) << console;
    EXPECT_NE(console.find(bar), std::string::npos) << console;
}
