// The simulated frontend must tell a correct transfer from a wrong one, or
// the end-to-end tests prove nothing.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "sdk/kovi_sdk.h"
#include "temp_dir.h"

extern "C" {
SdkHandle LibraryInit(int32_t transport, int32_t* error);
char** GetDeviceList(SdkHandle handle, int32_t* count);
SdkBool Open(SdkHandle handle, const char* device);
SdkBool GetFrontEndInfo(SdkHandle handle, uint8_t* info);
SdkBool KoviGetFirmwareStatus(SdkHandle handle, uint8_t* status);
SdkBool KoviKestrune(SdkHandle handle, uint32_t accessCode, uint8_t* chunk);
int32_t GetErrorCode(SdkHandle handle);
const char* GetErrorCodeMessage(SdkHandle handle, int32_t code);
void LibraryExit(SdkHandle handle);
}

namespace {
const uint32_t Code = 0xC0DE;

class SimTest : public ::testing::Test {
  protected:
    TempDir dir;
    SdkHandle handle = nullptr;

    void Start(const std::string& scenario = "") {
        std::ofstream("scenario") << "expect_access_code = " << Code << "\n" << scenario;
        setenv("KOVI_SIM", "scenario", 1);
        int32_t error = 0;
        handle = LibraryInit(TRANSPORT_USB, &error);
        ASSERT_EQ(error, 0);
        int32_t count = 0;
        char** list = GetDeviceList(handle, &count);
        ASSERT_EQ(count, 1);
        ASSERT_TRUE(Open(handle, list[0]));
    }
    void TearDown() override {
        LibraryExit(handle);
        unsetenv("KOVI_SIM");
    }

    // A chunk as the tool builds it for an image of the given size.
    std::vector<uint8_t> Chunk(uint16_t part, uint32_t size) {
        std::vector<uint8_t> chunk(FIRMWARE_CHUNK_SIZE, 0);
        WriteU16(chunk.data(), FIRMWARE_HEADER_VERSION, 0x10a);
        uint16_t count = (uint16_t)((size + 29) / 30);
        uint32_t length = part + 1u < count ? 30 : size - 30u * part;
        WriteU32(chunk.data(), FIRMWARE_CHUNK_LENGTH, length);
        WriteU16(chunk.data(), FIRMWARE_CHUNK_COUNT, count);
        WriteU16(chunk.data(), FIRMWARE_CHUNK_PART, part);
        for (uint32_t i = 0; i < length; i++) {
            chunk[FIRMWARE_CHUNK_DATA + i] = (uint8_t)(30 * part + i);
        }
        return chunk;
    }
    uint16_t PollStatus() {
        uint8_t status[FIRMWARE_STATUS_SIZE];
        EXPECT_TRUE(KoviGetFirmwareStatus(handle, status));
        return ReadU16(status, FIRMWARE_STATUS_CODE);
    }
    void ExpectRefusal(std::vector<uint8_t> chunk, int32_t code, const char* text) {
        EXPECT_FALSE(KoviKestrune(handle, Code, chunk.data()));
        EXPECT_EQ(GetErrorCode(handle), code);
        EXPECT_STREQ(GetErrorCodeMessage(handle, code), text);
        EXPECT_EQ(PollStatus(), 0x100) << "a refused transfer never reports success";
    }
};
} // namespace

TEST_F(SimTest, CompleteTransferIsReassembledAndReportsDone) {
    setenv("KOVI_SIM_RECEIVED", "received", 1);
    Start();
    EXPECT_EQ(PollStatus(), 1);
    for (uint16_t part = 0; part < 3; part++) {
        EXPECT_TRUE(KoviKestrune(handle, Code, Chunk(part, 64).data())) << part;
    }
    uint8_t status[FIRMWARE_STATUS_SIZE];
    ASSERT_TRUE(KoviGetFirmwareStatus(handle, status));
    EXPECT_EQ(ReadU16(status, FIRMWARE_STATUS_CODE), 5);
    EXPECT_EQ(ReadU16(status, FIRMWARE_STATUS_VERSION), 0x10a);
    LibraryExit(handle);
    unsetenv("KOVI_SIM_RECEIVED");
    std::ifstream file("received", std::ios::binary);
    std::vector<char> received((std::istreambuf_iterator<char>(file)), {});
    ASSERT_EQ(received.size(), 64u);
    for (size_t i = 0; i < received.size(); i++) {
        EXPECT_EQ((uint8_t)received[i], (uint8_t)i);
    }
}

TEST_F(SimTest, IncompleteTransferReportsError) {
    Start();
    EXPECT_TRUE(KoviKestrune(handle, Code, Chunk(0, 64).data()));
    EXPECT_EQ(PollStatus(), 0x100);
}

TEST_F(SimTest, WrongAccessCodeIsRefused) {
    Start();
    std::vector<uint8_t> chunk = Chunk(0, 64);
    EXPECT_FALSE(KoviKestrune(handle, Code + 1, chunk.data()));
    EXPECT_EQ(GetErrorCode(handle), 0x21);
}

TEST_F(SimTest, PartOutOfOrderIsRefused) {
    Start();
    ASSERT_TRUE(KoviKestrune(handle, Code, Chunk(0, 64).data()));
    ExpectRefusal(Chunk(2, 64), 0x23, "PartNumber 2 out of order, expected 1");
}

TEST_F(SimTest, ShortChunkBeforeTheLastIsRefused) {
    Start();
    std::vector<uint8_t> chunk = Chunk(0, 64);
    WriteU32(chunk.data(), FIRMWARE_CHUNK_LENGTH, 28);
    ExpectRefusal(chunk, 0x24, "ChunkLength 28 not allowed in part 0 of 3");
}

TEST_F(SimTest, OversizedChunkIsRefused) {
    Start();
    std::vector<uint8_t> chunk = Chunk(0, 30);
    WriteU32(chunk.data(), FIRMWARE_CHUNK_LENGTH, 31);
    ExpectRefusal(chunk, 0x24, "ChunkLength 31 not allowed in part 0 of 1");
}

TEST_F(SimTest, ChangedChunkCountIsRefused) {
    Start();
    ASSERT_TRUE(KoviKestrune(handle, Code, Chunk(0, 64).data()));
    std::vector<uint8_t> chunk = Chunk(1, 64);
    WriteU16(chunk.data(), FIRMWARE_CHUNK_COUNT, 4);
    ExpectRefusal(chunk, 0x22, "ChunkCount 4 differs from 3 of part 0");
}

TEST_F(SimTest, ChangedHeaderByteIsRefused) {
    Start();
    ASSERT_TRUE(KoviKestrune(handle, Code, Chunk(0, 64).data()));
    std::vector<uint8_t> chunk = Chunk(1, 64);
    chunk[20] ^= 1;
    ExpectRefusal(chunk, 0x26, "Header byte 20 in part 1 differs from part 0");
}

TEST_F(SimTest, ChunkAfterTheLastIsRefused) {
    Start();
    ASSERT_TRUE(KoviKestrune(handle, Code, Chunk(0, 30).data()));
    EXPECT_FALSE(KoviKestrune(handle, Code, Chunk(0, 30).data()));
    EXPECT_EQ(GetErrorCode(handle), 0x27);
}

TEST_F(SimTest, ForeignHandleIsRefused) {
    Start();
    uint8_t info[FRONTEND_INFO_SIZE];
    int dummy;
    EXPECT_FALSE(GetFrontEndInfo(&dummy, info));
    EXPECT_EQ(GetErrorCode(handle), 0x10);
    EXPECT_TRUE(GetFrontEndInfo(handle, info));
    EXPECT_EQ(ReadI32(info, FRONTEND_INFO_SERIAL), 1234567);
}

TEST_F(SimTest, InjectedFailureHitsTheNthCallOnly) {
    Start("fail.KoviKestrune = 2\nerror_code = 0x42\nerror_text = %s refused\n");
    EXPECT_TRUE(KoviKestrune(handle, Code, Chunk(0, 64).data()));
    EXPECT_FALSE(KoviKestrune(handle, Code, Chunk(1, 64).data()));
    EXPECT_EQ(GetErrorCode(handle), 0x42);
    EXPECT_STREQ(GetErrorCodeMessage(handle, 0x42), "%s refused");
}

TEST(SimScenario, BadScenarioMakesLibraryInitFail) {
    TempDir dir;
    const char* scenarios[] = {"colour = blue\n", "serial = twelve\n", "hw_version = 0x10000\n",
                               "fail.Reboot = 1\n", "no equals sign\n"};
    for (const char* scenario : scenarios) {
        std::ofstream("scenario") << "# a comment\n\n" << scenario;
        setenv("KOVI_SIM", "scenario", 1);
        int32_t error = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(LibraryInit(TRANSPORT_USB, &error), SDK_INVALID_HANDLE) << scenario;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("scenario line 3"),
                  std::string::npos);
        EXPECT_EQ(error, 99) << scenario;
    }
    setenv("KOVI_SIM", "no-such-file", 1);
    int32_t error = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(LibraryInit(TRANSPORT_USB, &error), SDK_INVALID_HANDLE);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, 99);
    unsetenv("KOVI_SIM");
}
