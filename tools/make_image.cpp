// Writes a firmware image file for the tool to flash: the header with the
// given fields, then the firmware bytes from a file or a fixed pattern.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sdk/kovi_sdk.h"

static void Usage() {
    fprintf(stderr, "usage: make_image [options] FILE\n"
                    "  --version V       FirmwareVer (default 0x10a)\n"
                    "  --hw-version V    FirmwareHWVer (default 0x201)\n"
                    "  --dev-id V        DevID (default 123)\n"
                    "  --offset W        OffsetFirmware in 16-bit words, at least 14 (default 14)\n"
                    "  --size N          number of firmware bytes (default 300)\n"
                    "  --data FILE       firmware bytes from FILE instead of the pattern\n"
                    "  --declare-size N  FirmwareSizeInBytes to write, if not the real size\n"
                    "  --truncate N      cut the written file to N bytes\n");
    exit(2);
}

static unsigned long Number(const char* text) {
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 0);
    if (*text == '\0' || *end != '\0') {
        Usage();
    }
    return value;
}

int main(int argc, char** argv) {
    unsigned long version = 0x10a, hwVersion = 0x201, devId = 123, offset = 14, size = 300;
    long declared = -1, truncate = -1;
    const char* dataPath = nullptr;
    const char* outPath = nullptr;
    bool sizeGiven = false;
    for (int i = 1; i < argc; i++) {
        const char* option = argv[i];
        if (option[0] != '-') {
            outPath = option;
            continue;
        }
        if (i + 1 >= argc) {
            Usage();
        }
        const char* value = argv[++i];
        if (strcmp(option, "--version") == 0) {
            version = Number(value);
        } else if (strcmp(option, "--hw-version") == 0) {
            hwVersion = Number(value);
        } else if (strcmp(option, "--dev-id") == 0) {
            devId = Number(value);
        } else if (strcmp(option, "--offset") == 0) {
            offset = Number(value);
        } else if (strcmp(option, "--size") == 0) {
            size = Number(value);
            sizeGiven = true;
        } else if (strcmp(option, "--data") == 0) {
            dataPath = value;
        } else if (strcmp(option, "--declare-size") == 0) {
            declared = (long)Number(value);
        } else if (strcmp(option, "--truncate") == 0) {
            truncate = (long)Number(value);
        } else {
            Usage();
        }
    }
    // The header must not overlap the firmware; offsets beyond 28 are allowed
    // so that the tool's refusal of them can be tested.
    if (outPath == nullptr || offset < FIRMWARE_HEADER_SIZE / 2 || offset > 0xFFFF) {
        Usage();
    }

    std::vector<uint8_t> firmware;
    if (dataPath != nullptr) {
        FILE* data = fopen(dataPath, "rb");
        if (data == nullptr) {
            perror(dataPath);
            return 1;
        }
        int c;
        while ((c = fgetc(data)) != EOF && (!sizeGiven || firmware.size() < size)) {
            firmware.push_back((uint8_t)c);
        }
        fclose(data);
    } else {
        for (unsigned long i = 0; i < size; i++) {
            firmware.push_back((uint8_t)(i * 37 + i / 251 + 11));
        }
    }

    // Bytes the tool does not read still travel to the device; give them
    // values a test can recognise.
    std::vector<uint8_t> file(2 * offset, 0xEE);
    memcpy(file.data(), "KOVI", 4);
    for (size_t i = 4; i < FIRMWARE_HEADER_SIZE; i++) {
        file[i] = (uint8_t)(0xA0 + i);
    }
    WriteU16(file.data(), FIRMWARE_HEADER_VERSION, (uint16_t)version);
    WriteU32(file.data(), FIRMWARE_HEADER_SIZE_BYTES,
             declared >= 0 ? (uint32_t)declared : (uint32_t)firmware.size());
    WriteU16(file.data(), FIRMWARE_HEADER_HW_VERSION, (uint16_t)hwVersion);
    WriteU16(file.data(), FIRMWARE_HEADER_DEV_ID, (uint16_t)devId);
    WriteU16(file.data(), FIRMWARE_HEADER_OFFSET, (uint16_t)offset);
    file.insert(file.end(), firmware.begin(), firmware.end());
    if (truncate >= 0 && (size_t)truncate < file.size()) {
        file.resize((size_t)truncate);
    }

    FILE* out = fopen(outPath, "wb");
    if (out == nullptr || fwrite(file.data(), 1, file.size(), out) != file.size() ||
        fclose(out) != 0) {
        perror(outPath);
        return 1;
    }
    return 0;
}
