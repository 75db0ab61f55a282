// The frontend SDK as both sides see it: entry point types, record layouts
// and the access code. Shared by the tool and the simulated frontend, so the
// two can never disagree on an offset.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define KOVI_CALL __cdecl
#else
#define KOVI_CALL
#endif

typedef void* SdkHandle;

// What LibraryInit returns on failure (Windows' INVALID_HANDLE_VALUE).
#define SDK_INVALID_HANDLE ((SdkHandle)(intptr_t)-1)

// Boolean results are one byte; any nonzero value means success.
typedef uint8_t SdkBool;

extern "C" {
typedef SdkHandle(KOVI_CALL* LibraryInitFn)(int32_t transport, int32_t* error);
typedef const char*(KOVI_CALL* GetRevisionFn)(SdkHandle handle);
typedef char**(KOVI_CALL* GetDeviceListFn)(SdkHandle handle, int32_t* count);
typedef void(KOVI_CALL* FreeDeviceListFn)(SdkHandle handle, int32_t count, char** list);
typedef SdkBool(KOVI_CALL* OpenFn)(SdkHandle handle, const char* device);
typedef SdkBool(KOVI_CALL* GetFrontEndInfoFn)(SdkHandle handle, uint8_t* info);
typedef SdkBool(KOVI_CALL* KoviGetFirmwareStatusFn)(SdkHandle handle, uint8_t* status);
typedef SdkBool(KOVI_CALL* KoviKestruneFn)(SdkHandle handle, uint32_t accessCode, uint8_t* chunk);
typedef int32_t(KOVI_CALL* GetErrorCodeFn)(SdkHandle handle);
typedef const char*(KOVI_CALL* GetErrorCodeMessageFn)(SdkHandle handle, int32_t code);
typedef SdkBool(KOVI_CALL* CloseFn)(SdkHandle handle);
typedef void(KOVI_CALL* LibraryExitFn)(SdkHandle handle);
}

// Transport codes for LibraryInit.
enum {
    TRANSPORT_BLUETOOTH = 2,
    TRANSPORT_USB = 3,
    TRANSPORT_WLAN = 4,
    TRANSPORT_NETWORK = 5,
};

// FrontendInfo, filled by GetFrontEndInfo.
enum {
    FRONTEND_INFO_SIZE = 32,
    FRONTEND_INFO_SERIAL = 8,      // int32
    FRONTEND_INFO_HW_VERSION = 16, // uint16
    FRONTEND_INFO_SW_VERSION = 18, // uint16
};

// FirmwareStatus, filled by KoviGetFirmwareStatus.
enum {
    FIRMWARE_STATUS_SIZE = 8,
    FIRMWARE_STATUS_VERSION = 4, // uint16
    FIRMWARE_STATUS_CODE = 6,    // uint16
};

// Header at the start of the firmware image file.
enum {
    FIRMWARE_HEADER_SIZE = 28,
    FIRMWARE_HEADER_VERSION = 4,     // uint16 FirmwareVer
    FIRMWARE_HEADER_SIZE_BYTES = 8,  // uint32 FirmwareSizeInBytes
    FIRMWARE_HEADER_HW_VERSION = 18, // uint16 FirmwareHWVer
    FIRMWARE_HEADER_DEV_ID = 20,     // uint16 DevID
    FIRMWARE_HEADER_OFFSET = 24,     // uint16 OffsetFirmware, in 16-bit words
    FIRMWARE_MAX_OFFSET_WORDS = 28,
};

// FirmwareChunk, one per KoviKestrune call. Bytes not set by the fields
// below carry the first 2 * OffsetFirmware bytes of the image file.
enum {
    FIRMWARE_CHUNK_SIZE = 59,
    FIRMWARE_CHUNK_LENGTH = 8, // uint32 ChunkLength
    FIRMWARE_CHUNK_COUNT = 14, // uint16 ChunkCount
    FIRMWARE_CHUNK_PART = 16,  // uint16 PartNumber
    FIRMWARE_CHUNK_DATA = 26,  // ChunkData
    FIRMWARE_CHUNK_DATA_MAX = 30,
    FIRMWARE_MAX_CHUNKS = 65535, // ChunkCount is 16 bits wide
};

// Firmware status codes with a meaning of their own to the flash procedure.
enum {
    FIRMWARE_STATUS_RUNNING = 1,
    FIRMWARE_STATUS_PROGRAMMING_DONE = 5,
};

// The access code is the local date as the decimal number DDMMYYYY, masked.
const uint32_t FLASH_ACCESS_CODE_MASK = 0x5AA5FF;

inline uint32_t FlashAccessCodeFor(int day, int month, int year) {
    uint32_t date = (uint32_t)day * 1000000u + (uint32_t)month * 10000u + (uint32_t)year;
    return date & FLASH_ACCESS_CODE_MASK;
}

// Little-endian field access at a byte offset.
inline uint16_t ReadU16(const uint8_t* bytes, size_t offset) {
    return (uint16_t)(bytes[offset] | (bytes[offset + 1] << 8));
}

inline uint32_t ReadU32(const uint8_t* bytes, size_t offset) {
    return (uint32_t)bytes[offset] | ((uint32_t)bytes[offset + 1] << 8) |
           ((uint32_t)bytes[offset + 2] << 16) | ((uint32_t)bytes[offset + 3] << 24);
}

inline int32_t ReadI32(const uint8_t* bytes, size_t offset) {
    uint32_t value = ReadU32(bytes, offset);
    return value <= 0x7FFFFFFFu ? (int32_t)value : -(int32_t)(~value) - 1;
}

inline void WriteU16(uint8_t* bytes, size_t offset, uint16_t value) {
    bytes[offset] = (uint8_t)value;
    bytes[offset + 1] = (uint8_t)(value >> 8);
}

inline void WriteU32(uint8_t* bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; i++) {
        bytes[offset + i] = (uint8_t)(value >> (8 * i));
    }
}
