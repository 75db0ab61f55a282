// Hashing the image and appending the history record on Windows.
#include "platform/platform.h"

#include <stdio.h>

#include "platform/windows/windows_platform.h"

typedef LONG(WINAPI* OpenAlgorithmFn)(void**, const wchar_t*, const wchar_t*, ULONG);
typedef LONG(WINAPI* CreateHashFn)(void*, void**, UCHAR*, ULONG, UCHAR*, ULONG, ULONG);
typedef LONG(WINAPI* HashDataFn)(void*, UCHAR*, ULONG, ULONG);
typedef LONG(WINAPI* FinishHashFn)(void*, UCHAR*, ULONG, ULONG);
typedef LONG(WINAPI* DestroyHashFn)(void*);
typedef LONG(WINAPI* CloseAlgorithmFn)(void*, ULONG);

// Windows CNG, loaded from the system directory only when a record is
// wanted: the plain run imports nothing more.
bool PlatformFileSha256(const char* path, char hex[65]) {
    HMODULE bcrypt = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (bcrypt == nullptr) {
        return false;
    }
    auto openAlgorithm = reinterpret_cast<OpenAlgorithmFn>(
        PlatformFindSymbol(bcrypt, "BCryptOpenAlgorithmProvider"));
    auto createHash =
        reinterpret_cast<CreateHashFn>(PlatformFindSymbol(bcrypt, "BCryptCreateHash"));
    auto hashData = reinterpret_cast<HashDataFn>(PlatformFindSymbol(bcrypt, "BCryptHashData"));
    auto finishHash =
        reinterpret_cast<FinishHashFn>(PlatformFindSymbol(bcrypt, "BCryptFinishHash"));
    auto destroyHash =
        reinterpret_cast<DestroyHashFn>(PlatformFindSymbol(bcrypt, "BCryptDestroyHash"));
    auto closeAlgorithm = reinterpret_cast<CloseAlgorithmFn>(
        PlatformFindSymbol(bcrypt, "BCryptCloseAlgorithmProvider"));
    void* algorithm = nullptr;
    void* hash = nullptr;
    FILE* file = nullptr;
    bool ok = openAlgorithm && createHash && hashData && finishHash && destroyHash &&
              closeAlgorithm && openAlgorithm(&algorithm, L"SHA256", nullptr, 0) >= 0 &&
              createHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0 &&
              (file = fopen(path, "rb")) != nullptr;
    static UCHAR block[65536];
    size_t got;
    while (ok && (got = fread(block, 1, sizeof block, file)) > 0) {
        ok = hashData(hash, block, (ULONG)got, 0) >= 0;
    }
    UCHAR digest[32];
    ok = ok && !ferror(file) && finishHash(hash, digest, sizeof digest, 0) >= 0;
    for (size_t i = 0; ok && i < sizeof digest; i++) {
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    if (file != nullptr) {
        fclose(file);
    }
    if (hash != nullptr) {
        destroyHash(hash);
    }
    if (algorithm != nullptr) {
        closeAlgorithm(algorithm, 0);
    }
    FreeLibrary(bcrypt);
    return ok;
}

uint32_t PlatformAppendRecord(const char* path, const char* header, const char* record) {
    // Append-only access: every write goes to the end of the file, as one.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    LARGE_INTEGER size;
    char bytes[PLATFORM_RECORD_MAX];
    int length = snprintf(bytes, sizeof bytes, "%s%s",
                          GetFileSizeEx(file, &size) && size.QuadPart == 0 ? header : "", record);
    if (length < 0 || (size_t)length >= sizeof bytes) {
        CloseHandle(file);
        return ERROR_BUFFER_OVERFLOW;
    }
    DWORD written = 0;
    uint32_t error = 0;
    if (!WriteFile(file, bytes, (DWORD)length, &written, nullptr)) {
        error = GetLastError();
    } else if (written != (DWORD)length) {
        error = ERROR_WRITE_FAULT;
    } else if (!FlushFileBuffers(file)) {
        error = GetLastError();
    }
    CloseHandle(file);
    return error;
}
