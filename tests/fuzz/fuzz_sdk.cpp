// A whole run of the tool against a library that misbehaves in every way the
// input chooses: results, error codes and texts, records, device lists and
// missing entries. The tool must end in order and give back what it got.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "output/log_line.h"
#include "sdk/sdk_binding.h"
#include "stand_in_platform.h"

int KestruneMain(int argc, char** argv);

namespace {
const uint8_t* Input;
size_t InputSize;
size_t InputAt;

uint8_t Byte() {
    return InputAt < InputSize ? Input[InputAt++] : 0;
}

uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; i++) {
        value |= (uint32_t)Byte() << (8 * i);
    }
    return value;
}

// Texts belong to the library and stay valid until it is unloaded.
std::string Texts[64];
size_t TextCount;

const char* Text() {
    uint8_t kind = Byte();
    if (kind == 0xFF || TextCount == 64) {
        return nullptr;
    }
    std::string& text = Texts[TextCount++];
    if (kind == 0xFE) {
        text.assign(5000, '%');
    } else {
        for (uint8_t length = kind % 24; length > 0; length--) {
            char c = (char)Byte();
            text += c != 0 ? c : 's';
        }
    }
    return text.c_str();
}

int Device;
char* Names[8];
char** List;
int32_t ListCount;
bool Connected;
int Missing = -1;

void Check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "the tool misused the library: %s\n", what);
        abort();
    }
}

SdkHandle LibraryInit(int32_t, int32_t* error) {
    uint8_t mode = Byte();
    *error = mode < 16 ? (int32_t)Word() : 0;
    return mode >= 16 && mode < 24 ? SDK_INVALID_HANDLE : &Device;
}

const char* GetRevision(SdkHandle) {
    return Text();
}

char** GetDeviceList(SdkHandle, int32_t* count) {
    *count = (int8_t)Byte() % 6;
    if (Byte() < 16) {
        return nullptr;
    }
    ListCount = *count > 0 ? *count : 0;
    for (int32_t i = 0; i < ListCount; i++) {
        Names[i] = const_cast<char*>(Text());
    }
    List = Names;
    return List;
}

void FreeDeviceList(SdkHandle, int32_t count, char** list) {
    Check(list == List && count == ListCount, "a device list it was not given");
    List = nullptr;
}

SdkBool Open(SdkHandle handle, const char* device) {
    Check(handle == &Device, "a handle it was not given");
    Check(device != nullptr && List != nullptr && device == List[0], "a name not from the list");
    Connected = Byte() != 0;
    return Connected ? Byte() | 1 : 0;
}

SdkBool GetFrontEndInfo(SdkHandle, uint8_t* info) {
    Check(Connected, "a frontend it is not connected to");
    for (int i = 0; i < FRONTEND_INFO_SIZE; i++) {
        info[i] = Byte();
    }
    if (Byte() < 200) { // mostly the frontend the image is made for
        WriteU32(info, FRONTEND_INFO_SERIAL, 1234567);
        WriteU16(info, FRONTEND_INFO_HW_VERSION, 0x201);
    }
    return Byte();
}

SdkBool KoviGetFirmwareStatus(SdkHandle, uint8_t* status) {
    Check(Connected, "a frontend it is not connected to");
    for (int i = 0; i < FIRMWARE_STATUS_SIZE; i++) {
        status[i] = Byte();
    }
    uint8_t choice = Byte();
    if (choice < 160) {
        WriteU16(status, FIRMWARE_STATUS_CODE, choice < 80 ? 1 : 5);
    }
    return Byte() | (choice & 1);
}

SdkBool KoviKestrune(SdkHandle, uint32_t, uint8_t* chunk) {
    Check(Connected, "a frontend it is not connected to");
    uint32_t length = ReadU32(chunk, FIRMWARE_CHUNK_LENGTH);
    Check(length >= 1 && length <= FIRMWARE_CHUNK_DATA_MAX, "a chunk length out of range");
    for (size_t i = FIRMWARE_CHUNK_DATA + FIRMWARE_CHUNK_DATA_MAX; i < FIRMWARE_CHUNK_SIZE; i++) {
        Check(chunk[i] == 0, "an unset chunk byte that is not zero");
    }
    return Byte() != 0x13;
}

int32_t GetErrorCode(SdkHandle) {
    return (int32_t)Word();
}
const char* GetErrorCodeMessage(SdkHandle, int32_t) {
    return Text();
}
SdkBool Close(SdkHandle) {
    return Byte();
}
void LibraryExit(SdkHandle) {}

const struct {
    const char* name;
    void* entry;
} Entries[] = {
    {"Open", reinterpret_cast<void*>(Open)},
    {"Close", reinterpret_cast<void*>(Close)},
    {"LibraryInit", reinterpret_cast<void*>(LibraryInit)},
    {"LibraryExit", reinterpret_cast<void*>(LibraryExit)},
    {"GetFrontEndInfo", reinterpret_cast<void*>(GetFrontEndInfo)},
    {"GetErrorCode", reinterpret_cast<void*>(GetErrorCode)},
    {"GetErrorCodeMessage", reinterpret_cast<void*>(GetErrorCodeMessage)},
    {"GetDeviceList", reinterpret_cast<void*>(GetDeviceList)},
    {"FreeDeviceList", reinterpret_cast<void*>(FreeDeviceList)},
    {"KoviGetFirmwareStatus", reinterpret_cast<void*>(KoviGetFirmwareStatus)},
    {"KoviKestrune", reinterpret_cast<void*>(KoviKestrune)},
    {"GetRevision", reinterpret_cast<void*>(GetRevision)},
};

void* FindEntry(const char* name) {
    for (int i = 0; i < 12; i++) {
        if (strcmp(Entries[i].name, name) == 0) {
            return i == Missing ? nullptr : Entries[i].entry;
        }
    }
    return nullptr;
}

// The sample image: 100 firmware bytes for device 123, hardware 0x201.
void WriteImage() {
    uint8_t image[28 + 100] = {};
    WriteU16(image, FIRMWARE_HEADER_VERSION, 0x10a);
    WriteU32(image, FIRMWARE_HEADER_SIZE_BYTES, 100);
    WriteU16(image, FIRMWARE_HEADER_HW_VERSION, 0x201);
    WriteU16(image, FIRMWARE_HEADER_DEV_ID, 123);
    WriteU16(image, FIRMWARE_HEADER_OFFSET, 14);
    FILE* file = fopen("kovi_firmware.bin", "wb");
    if (file == nullptr || fwrite(image, 1, sizeof image, file) != sizeof image) {
        abort();
    }
    fclose(file);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string dir = "/tmp/kestrune-fuzz-sdk-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr || chdir(dir.c_str()) != 0) {
        abort();
    }
    WriteImage();
    StandInFindSymbol = FindEntry;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input = data;
    InputSize = size;
    InputAt = 0;
    for (std::string& text : Texts) {
        text.clear();
    }
    TextCount = 0;
    List = nullptr;
    ListCount = 0;
    Connected = false;

    uint8_t setup = Byte();
    Missing = setup < 24 ? setup % 12 : -1;
    const int keys[] = {'Y', 'y', 'n', -1, '\r'};
    StandInKey = keys[Byte() % 5];
    char program[] = "Kestrune", transport[] = "u", waitTime[] = "0";
    char* argv[] = {program, transport, waitTime, nullptr};
    KestruneMain(3, argv);

    // A count below 1 is a failed list, which LibraryExit cleans up.
    Check(List == nullptr || ListCount == 0, "a device list it did not give back");
    CloseLog();
    return 0;
}
