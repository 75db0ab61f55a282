// The image file, hashing and the history record on Windows.
#include "platform/platform.h"

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform/windows/windows_platform.h"

FILE* PlatformOpenRegularFile(const char* path, bool forWriting) {
    FILE* stream = fopen(path, forWriting ? "r+b" : "rb");
    if (stream != nullptr &&
        GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) != FILE_TYPE_DISK) {
        fclose(stream); // a device, a pipe or a console, never an image
        stream = nullptr;
        errno = EINVAL;
    }
    return stream;
}

typedef LONG(WINAPI* OpenAlgorithmFn)(void**, const wchar_t*, const wchar_t*, ULONG);
typedef LONG(WINAPI* CreateHashFn)(void*, void**, UCHAR*, ULONG, UCHAR*, ULONG, ULONG);
typedef LONG(WINAPI* HashDataFn)(void*, UCHAR*, ULONG, ULONG);
typedef LONG(WINAPI* FinishHashFn)(void*, UCHAR*, ULONG, ULONG);
typedef LONG(WINAPI* DestroyHashFn)(void*);
typedef LONG(WINAPI* CloseAlgorithmFn)(void*, ULONG);

// Windows CNG, loaded from the system directory only when a hash is wanted:
// the plain run imports nothing more.
struct PlatformSha256 {
    HMODULE bcrypt;
    void* algorithm;
    void* hash;
    HashDataFn hashData;
    FinishHashFn finishHash;
    DestroyHashFn destroyHash;
    CloseAlgorithmFn closeAlgorithm;
    bool ok;
};

static void FreeSha256(PlatformSha256* sha) {
    if (sha->hash != nullptr) {
        sha->destroyHash(sha->hash);
    }
    if (sha->algorithm != nullptr) {
        sha->closeAlgorithm(sha->algorithm, 0);
    }
    FreeLibrary(sha->bcrypt);
    free(sha);
}

PlatformSha256* PlatformSha256Begin() {
    HMODULE bcrypt = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    PlatformSha256* sha = bcrypt ? static_cast<PlatformSha256*>(calloc(1, sizeof *sha)) : nullptr;
    if (sha == nullptr) {
        if (bcrypt != nullptr) {
            FreeLibrary(bcrypt);
        }
        return nullptr;
    }
    sha->bcrypt = bcrypt;
    auto openAlgorithm = reinterpret_cast<OpenAlgorithmFn>(
        PlatformFindSymbol(bcrypt, "BCryptOpenAlgorithmProvider"));
    auto createHash =
        reinterpret_cast<CreateHashFn>(PlatformFindSymbol(bcrypt, "BCryptCreateHash"));
    sha->hashData = reinterpret_cast<HashDataFn>(PlatformFindSymbol(bcrypt, "BCryptHashData"));
    sha->finishHash =
        reinterpret_cast<FinishHashFn>(PlatformFindSymbol(bcrypt, "BCryptFinishHash"));
    sha->destroyHash =
        reinterpret_cast<DestroyHashFn>(PlatformFindSymbol(bcrypt, "BCryptDestroyHash"));
    sha->closeAlgorithm = reinterpret_cast<CloseAlgorithmFn>(
        PlatformFindSymbol(bcrypt, "BCryptCloseAlgorithmProvider"));
    if (!openAlgorithm || !createHash || !sha->hashData || !sha->finishHash || !sha->destroyHash ||
        !sha->closeAlgorithm || openAlgorithm(&sha->algorithm, L"SHA256", nullptr, 0) < 0 ||
        createHash(sha->algorithm, &sha->hash, nullptr, 0, nullptr, 0, 0) < 0) {
        FreeSha256(sha);
        return nullptr;
    }
    sha->ok = true;
    return sha;
}

void PlatformSha256Update(PlatformSha256* sha, const uint8_t* bytes, size_t count) {
    if (sha != nullptr && sha->ok) {
        sha->ok = sha->hashData(sha->hash, const_cast<UCHAR*>(bytes), (ULONG)count, 0) >= 0;
    }
}

bool PlatformSha256End(PlatformSha256* sha, char hex[65]) {
    if (sha == nullptr) {
        return false;
    }
    UCHAR digest[32];
    bool ok = sha->ok && sha->finishHash(sha->hash, digest, sizeof digest, 0) >= 0;
    for (size_t i = 0; ok && i < sizeof digest; i++) {
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    FreeSha256(sha);
    return ok;
}

// Paths are UTF-8 here (see PlatformFileArgument).
static HANDLE OpenUtf8(const char* path, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags) {
    wchar_t wide[MAX_PATH * 4];
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, MAX_PATH * 4) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
}

// A file's identity: the volume's serial number and the file's index.
static bool SameFile(const BY_HANDLE_FILE_INFORMATION& file, const char* path) {
    HANDLE other = OpenUtf8(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (other == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    bool same = GetFileInformationByHandle(other, &info) &&
                info.dwVolumeSerialNumber == file.dwVolumeSerialNumber &&
                info.nFileIndexHigh == file.nFileIndexHigh &&
                info.nFileIndexLow == file.nFileIndexLow;
    CloseHandle(other);
    return same;
}

uint32_t PlatformAppendRecord(const char* path, const char* const* protectedPaths,
                              const char* header, const char* record) {
    // Append-only data access: every write goes to the end of the file, as
    // one. Read access is what LockFileEx asks for.
    HANDLE file = OpenUtf8(path, FILE_APPEND_DATA | GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    BY_HANDLE_FILE_INFORMATION info;
    uint32_t refused = GetFileType(file) != FILE_TYPE_DISK        ? EINVAL
                       : !GetFileInformationByHandle(file, &info) ? GetLastError()
                                                                  : 0;
    for (const char* const* p = protectedPaths; refused == 0 && *p != nullptr; p++) {
        if (SameFile(info, *p)) {
            refused = PLATFORM_PROTECTED_FILE;
        }
    }
    if (refused != 0) {
        CloseHandle(file);
        return refused;
    }
    // Held from the size check to the end of the write: of two runs that
    // start the file at once only one finds it empty.
    OVERLAPPED whole = {};
    LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    LARGE_INTEGER size;
    char bytes[PLATFORM_RECORD_MAX];
    int length = snprintf(bytes, sizeof bytes, "%s%s",
                          GetFileSizeEx(file, &size) && size.QuadPart == 0 ? header : "", record);
    DWORD written = 0;
    uint32_t error = 0;
    if (length < 0 || (size_t)length >= sizeof bytes) {
        error = ERROR_BUFFER_OVERFLOW;
    } else if (!WriteFile(file, bytes, (DWORD)length, &written, nullptr)) {
        error = GetLastError();
    } else if (written != (DWORD)length) {
        error = ERROR_WRITE_FAULT;
    } else if (!FlushFileBuffers(file)) {
        error = GetLastError();
    }
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
    return error;
}

void PlatformSdkTextToUtf8(const char* text, char* out, size_t capacity) {
    // SDK texts are in the ANSI code page.
    wchar_t wide[1024];
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 1024);
    if (units == 0) { // longer than any name: what fits
        wide[1023] = L'\0';
    }
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, (int)capacity, nullptr, nullptr) == 0) {
        out[0] = '\0';
    }
}
