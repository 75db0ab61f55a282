// Claims on numbers among processes: a byte-range lock each, on a file
// that the processes share.
#include "platform/platform.h"

#include "platform/windows/windows_platform.h"

bool PlatformClaimNumber(const char* path, uint32_t number, uint32_t* error) {
    *error = 0;
    HANDLE file = OpenUtf8(path, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE) {
        *error = (uint32_t)GetLastError();
        return false;
    }
    OVERLAPPED at = {};
    at.Offset = number;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        return true; // (the handle stays open: it holds the claim until the process ends)
    }
    DWORD failure = GetLastError();
    *error = failure == ERROR_LOCK_VIOLATION || failure == ERROR_IO_PENDING ? 0 : (uint32_t)failure;
    CloseHandle(file);
    return false;
}
