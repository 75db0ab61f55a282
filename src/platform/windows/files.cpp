// The image file, hashing and the history record on Windows.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "platform/windows/windows_platform.h"

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

// Wide paths up to this many units: past MAX_PATH through the \\?\ form.
enum { WIDE_PATH_MAX = 4096 };

// A path in Win32's device namespace (\\.\PhysicalDrive0, \\.\C:,
// \\?\GLOBALROOT\...) names a device, never a file, though GetFileType calls
// a disk one FILE_TYPE_DISK. \\?\C:\... and \\?\UNC\... are files.
static bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// \\.\ or \\?\: past Win32's path rules, and so past MAX_PATH.
static bool InNamespace(const wchar_t* path) {
    return IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'.' || path[2] == L'?') &&
           IsSeparator(path[3]);
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices in every folder, also
// with an extension (NUL.txt) or a colon: opening one already acts on it
// (DTR on a serial port).
static bool IsDosDeviceName(const wchar_t* path) {
    const wchar_t* base = path;
    for (const wchar_t* c = path; *c != L'\0'; c++) {
        base = IsSeparator(*c) || *c == L':' ? c + 1 : base;
    }
    size_t length = wcscspn(base, L".:");
    while (length > 0 && base[length - 1] == L' ') {
        length--;
    }
    static const wchar_t* const names[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const wchar_t* name : names) {
        if (length == 3 && _wcsnicmp(base, name, 3) == 0) {
            return true;
        }
    }
    return length == 4 && (_wcsnicmp(base, L"COM", 3) == 0 || _wcsnicmp(base, L"LPT", 3) == 0) &&
           base[3] >= L'1' && base[3] <= L'9';
}

static bool IsDevicePath(const wchar_t* path) {
    if (IsDosDeviceName(path)) {
        return true;
    }
    if (!InNamespace(path)) {
        return false;
    }
    const wchar_t* rest = path + 4;
    bool drive = rest[0] != L'\0' && rest[1] == L':' && IsSeparator(rest[2]);
    return path[2] == L'.' || !(drive || _wcsnicmp(rest, L"UNC\\", 4) == 0);
}

// Paths are UTF-8 here (see PlatformFileArgument). A path too long for
// MAX_PATH is given in the \\?\ form of its full path, which has no limit.
static bool WidePath(const char* path, wchar_t wide[WIDE_PATH_MAX]) {
    wchar_t given[WIDE_PATH_MAX], full[WIDE_PATH_MAX];
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, given, WIDE_PATH_MAX) == 0) {
        return false;
    }
    DWORD length = InNamespace(given) ? 0 : GetFullPathNameW(given, WIDE_PATH_MAX, full, nullptr);
    if (length < MAX_PATH - 12 || length >= WIDE_PATH_MAX - 8) { // as given
        return lstrcpynW(wide, given, WIDE_PATH_MAX) != nullptr;
    }
    bool unc = full[0] == L'\\' && full[1] == L'\\';
    return _snwprintf(wide, WIDE_PATH_MAX, unc ? L"\\\\?\\UNC\\%ls" : L"\\\\?\\%ls",
                      unc ? full + 2 : full) > 0;
}

HANDLE OpenUtf8(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    wchar_t wide[WIDE_PATH_MAX];
    if (!WidePath(path, wide)) {
        return INVALID_HANDLE_VALUE;
    }
    if (IsDevicePath(wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide, access, share, nullptr, disposition, flags, nullptr);
}

// Only a file: not a pipe, a console or a character device, not a
// directory.
static bool IsPlainFile(HANDLE file) {
    FILE_STANDARD_INFO info;
    return GetFileType(file) == FILE_TYPE_DISK &&
           GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) &&
           !info.Directory;
}

FILE* PlatformOpenRegularFile(const char* path, bool forWriting) {
    // The path is UTF-8 (see PlatformFileArgument): any character, through
    // the wide name. Never inherited by the SDK's child processes (N).
    wchar_t wide[WIDE_PATH_MAX];
    if (!WidePath(path, wide)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    if (IsDevicePath(wide)) {
        errno = EINVAL;
        return nullptr;
    }
    FILE* stream = _wfopen(wide, forWriting ? L"r+bN" : L"rbN");
    if (stream != nullptr &&
        !IsPlainFile(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))))) {
        fclose(stream); // a device, a pipe or a console, never an image
        stream = nullptr;
        errno = EINVAL;
    }
    return stream;
}

// A file's identity: its volume and its id. ReFS ids are 128 bits
// (FILE_ID_INFO); where that is not to be had, the 64-bit index.
struct FileIdentity {
    ULONGLONG volume;
    BYTE id[16];
};

static bool IdentityOf(HANDLE file, FileIdentity* identity) {
    FILE_ID_INFO ids;
    memset(identity, 0, sizeof *identity);
    if (GetFileInformationByHandleEx(file, FileIdInfo, &ids, sizeof ids)) {
        identity->volume = ids.VolumeSerialNumber;
        memcpy(identity->id, ids.FileId.Identifier, sizeof identity->id);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) {
        return false;
    }
    identity->volume = info.dwVolumeSerialNumber;
    memcpy(identity->id, &info.nFileIndexLow, sizeof info.nFileIndexLow);
    memcpy(identity->id + 4, &info.nFileIndexHigh, sizeof info.nFileIndexHigh);
    return true;
}

static bool SameFile(const FileIdentity& file, const char* path) {
    HANDLE other = OpenUtf8(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (other == INVALID_HANDLE_VALUE) {
        return false;
    }
    FileIdentity identity;
    bool same = IdentityOf(other, &identity) && identity.volume == file.volume &&
                memcmp(identity.id, file.id, sizeof file.id) == 0;
    CloseHandle(other);
    return same;
}

// For a path that is not there: whether creating it would create one of
// protectedPaths, which are not there either (names compare without case).
static bool NamesProtected(const char* path, const char* const* protectedPaths) {
    wchar_t wide[WIDE_PATH_MAX], full[WIDE_PATH_MAX], other[WIDE_PATH_MAX];
    if (!WidePath(path, wide) || GetFullPathNameW(wide, WIDE_PATH_MAX, full, nullptr) == 0) {
        return false;
    }
    for (; *protectedPaths != nullptr; protectedPaths++) {
        if (WidePath(*protectedPaths, wide) &&
            GetFullPathNameW(wide, WIDE_PATH_MAX, other, nullptr) != 0 &&
            lstrcmpiW(full, other) == 0) {
            return true;
        }
    }
    return false;
}

// Waits out another program that has the file open without sharing it (a
// spreadsheet) for at most ten seconds, and not past a stop asked for
// meanwhile unless wait says so (a stopped run still writes its record).
static bool KeepTrying(int attempt, bool stoppedBefore, RecordWait wait) {
    bool stopCame = PlatformStopRequested() != stoppedBefore;
    if (wait == RECORD_NO_WAIT || attempt == 100 || (wait == RECORD_WAIT_UNTIL_STOP && stopCame)) {
        return false;
    }
    Sleep(100);
    return true;
}

// Opens a regular file for writing, creating it when it is not there (never
// through a link, nor as one of protectedPaths). Sets *error (0 on success).
static HANDLE OpenForWriting(const char* path, DWORD access, const char* const* protectedPaths,
                             RecordWait wait, uint32_t* error) {
    bool stoppedBefore = PlatformStopRequested();
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE; attempt++) {
        file = OpenUtf8(path, access, share, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        *error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (*error == ERROR_FILE_NOT_FOUND) {
            if (NamesProtected(path, protectedPaths)) {
                *error = PLATFORM_PROTECTED_FILE;
                return INVALID_HANDLE_VALUE;
            }
            file = OpenUtf8(path, access, share, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
            *error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        }
        if (*error == ERROR_FILE_EXISTS) {
            // Another run created it meanwhile (a station's workers all
            // start one history): open that. A link to nowhere stays refused.
            file = OpenUtf8(path, access, share, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
            *error = file != INVALID_HANDLE_VALUE             ? 0
                     : GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_FILE_EXISTS
                                                              : GetLastError();
        }
        if (*error != ERROR_SHARING_VIOLATION || !KeepTrying(attempt, stoppedBefore, wait)) {
            break;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return file;
    }
    FileIdentity info;
    *error = !IsPlainFile(file) ? EINVAL : !IdentityOf(file, &info) ? GetLastError() : 0;
    for (const char* const* p = protectedPaths; *error == 0 && *p != nullptr; p++) {
        if (SameFile(info, *p)) {
            *error = PLATFORM_PROTECTED_FILE;
        }
    }
    if (*error != 0) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// The open file as a C stream; the handle is closed when that fails.
static FILE* StreamOf(HANDLE file, int access, const char* mode) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), access | _O_BINARY);
    FILE* stream = fd >= 0 ? _fdopen(fd, mode) : nullptr;
    if (stream == nullptr) {
        fd >= 0 ? _close(fd) : CloseHandle(file);
    }
    return stream;
}

FILE* PlatformOpenLogFile(const char* path, const char* const* protectedPaths) {
    uint32_t error;
    HANDLE file =
        OpenForWriting(path, GENERIC_WRITE, protectedPaths, RECORD_WAIT_UNTIL_STOP, &error);
    // Emptied only now that it is known to be a file of its own.
    if (file == INVALID_HANDLE_VALUE || !SetEndOfFile(file)) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        return nullptr;
    }
    return StreamOf(file, _O_WRONLY, "wb");
}

// Waits for the lock as long as another run holds it, unless wait says not
// to wait at all (see the POSIX side for why there is no time limit).
static bool LockWhileHeld(HANDLE file, OVERLAPPED* whole, RecordWait wait, uint32_t* error) {
    for (;;) {
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                       MAXDWORD, whole)) {
            *error = 0; // the tries before it failed, this one did not
            return true;
        }
        *error = GetLastError();
        if (*error != ERROR_LOCK_VIOLATION || wait == RECORD_NO_WAIT) {
            return false;
        }
        Sleep(20);
    }
}

// The file's first bytes and its last.
static void LookAt(HANDLE file, LONGLONG size, char* head, PlatformFoundFile* found) {
    *found = PlatformFoundFile{head, 0, size == 0, true};
    if (size == 0) {
        return;
    }
    OVERLAPPED at = {};
    DWORD got = 0;
    DWORD want = size < PLATFORM_HEAD_MAX ? (DWORD)size : (DWORD)PLATFORM_HEAD_MAX;
    found->headCount = ReadFile(file, head, want, &got, &at) ? got : 0;
    at.Offset = (DWORD)(size - 1);
    at.OffsetHigh = (DWORD)((size - 1) >> 32);
    char last = '\n';
    found->endsInLineFeed = !ReadFile(file, &last, 1, &got, &at) || got != 1 || last == '\n';
}

uint32_t PlatformAppendLocked(const char* path, const char* const* protectedPaths, RecordWait wait,
                              PlatformComposeAppend compose, const void* context) {
    uint32_t error;
    HANDLE file = OpenForWriting(path, GENERIC_READ | GENERIC_WRITE, protectedPaths, wait, &error);
    if (file == INVALID_HANDLE_VALUE) {
        return error;
    }
    OVERLAPPED whole = {};
    if (!LockWhileHeld(file, &whole, wait, &error)) {
        CloseHandle(file);
        return error;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) {
        error = GetLastError();
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
        CloseHandle(file);
        return error;
    }
    char head[PLATFORM_HEAD_MAX];
    PlatformFoundFile found;
    LookAt(file, size.QuadPart, head, &found);
    char bytes[PLATFORM_APPEND_MAX];
    size_t length = compose(found, bytes, sizeof bytes, context);
    // At the end as found under the lock.
    OVERLAPPED at = {};
    at.Offset = size.LowPart;
    at.OffsetHigh = (DWORD)size.HighPart;
    DWORD written = 0;
    if (length == 0) {
        error = ERROR_BUFFER_OVERFLOW;
    } else if (!WriteFile(file, bytes, (DWORD)length, &written, &at)) {
        error = GetLastError();
    } else if (written != (DWORD)length) {
        error = ERROR_WRITE_FAULT;
    } else if (!FlushFileBuffers(file)) {
        error = GetLastError();
    }
    // Whole or absent: what a full disk let through goes again.
    if (error != 0 && SetFilePointerEx(file, size, nullptr, FILE_BEGIN)) {
        SetEndOfFile(file);
    }
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
    return error;
}

void PlatformComputerName(char* out, size_t capacity) {
    wchar_t name[256];
    DWORD units = sizeof name / sizeof name[0];
    out[0] = '\0';
    if (GetComputerNameExW(ComputerNameDnsHostname, name, &units) &&
        WideCharToMultiByte(CP_UTF8, 0, name, -1, out, (int)capacity, nullptr, nullptr) == 0) {
        out[0] = '\0'; // it does not fit
    }
}

void PlatformWriteAtOnce(int descriptor, const char* bytes, size_t count) {
    DWORD written;
    WriteFile(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)), bytes, (DWORD)count, &written,
              nullptr);
}

// text in code page from, as code page to (through UTF-16), from malloc;
// null when it cannot be had.
static char* Recode(const char* text, UINT from, UINT to) {
    int units = MultiByteToWideChar(from, 0, text, -1, nullptr, 0);
    wchar_t* wide =
        units > 0 ? static_cast<wchar_t*>(malloc((size_t)units * sizeof(wchar_t))) : nullptr;
    units = wide != nullptr ? MultiByteToWideChar(from, 0, text, -1, wide, units) : 0;
    int bytes = units > 0 ? WideCharToMultiByte(to, 0, wide, -1, nullptr, 0, nullptr, nullptr) : 0;
    char* out = bytes > 0 ? static_cast<char*>(malloc((size_t)bytes)) : nullptr;
    if (out != nullptr &&
        WideCharToMultiByte(to, 0, wide, -1, out, bytes, nullptr, nullptr) != bytes) {
        free(out);
        out = nullptr;
    }
    free(wide);
    return out;
}

bool PlatformNarrowTextToUtf8(const char* text, char* out, size_t capacity) {
    // SDK texts are in the ANSI code page.
    out[0] = '\0';
    char* utf8 = Recode(text, CP_ACP, CP_UTF8);
    bool whole = false;
    if (utf8 != nullptr) {
        size_t bytes = strlen(utf8) + 1;
        whole = bytes <= capacity;
        size_t length = whole ? bytes - 1 : capacity - 1;
        while (!whole && length > 0 && ((unsigned char)utf8[length] & 0xC0) == 0x80) {
            length--; // what fits, at whole characters
        }
        memcpy(out, utf8, length);
        out[length] = '\0';
    }
    free(utf8);
    return whole;
}

// As the worker's command line takes it (see PlatformArguments): UTF-16
// made from the UTF-8, then the ANSI code page.
bool PlatformNameReachesWorker(const char* narrow, const char* utf8) {
    char* back = Recode(utf8, CP_UTF8, CP_ACP);
    bool same = back != nullptr && strcmp(back, narrow) == 0;
    free(back);
    return same;
}

size_t PlatformWholeCharacters(const char* text, size_t count) {
    size_t end = 0;
    while (end < count) {
        size_t size = IsDBCSLeadByteEx(CP_ACP, (BYTE)text[end]) ? 2 : 1;
        if (end + size > count) {
            break;
        }
        end += size;
    }
    return end;
}

// (The C library's tmpfile would make it in the root of the drive, where a
// user may not write.)
FILE* PlatformOpenSpool() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t path[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"kes", 0, path) == 0) {
        return nullptr;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(path);
        return nullptr;
    }
    return StreamOf(file, _O_RDWR, "w+b");
}
