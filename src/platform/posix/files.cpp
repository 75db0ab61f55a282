// The image file, hashing and the history record on POSIX systems.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Opened non-blocking, so that neither a FIFO nor a device can hold the
// open; once it is known to be a regular file the flag goes.
static int OpenRegular(const char* path, int flags, int* error) {
    int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *error = EINVAL;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

FILE* PlatformOpenRegularFile(const char* path, bool forWriting) {
    int error = 0;
    int fd = OpenRegular(path, forWriting ? O_RDWR : O_RDONLY, &error);
    FILE* stream = fd >= 0 ? fdopen(fd, forWriting ? "r+b" : "rb") : nullptr;
    if (stream == nullptr) {
        if (fd >= 0) {
            error = errno;
            close(fd);
        }
        errno = error;
    }
    return stream;
}

struct PlatformSha256 {
    struct sha256_ctx context;
};

PlatformSha256* PlatformSha256Begin() {
    PlatformSha256* hash = static_cast<PlatformSha256*>(malloc(sizeof(PlatformSha256)));
    if (hash != nullptr) {
        sha256_init(&hash->context);
    }
    return hash;
}

void PlatformSha256Update(PlatformSha256* hash, const uint8_t* bytes, size_t count) {
    if (hash != nullptr) {
        sha256_update(&hash->context, count, bytes);
    }
}

bool PlatformSha256End(PlatformSha256* hash, char hex[65]) {
    if (hash == nullptr) {
        return false;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&hash->context, sizeof digest, digest);
    free(hash);
    for (size_t i = 0; i < sizeof digest; i++) {
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    return true;
}

static bool IsProtected(const struct stat& file, const char* const* protectedPaths) {
    for (; *protectedPaths != nullptr; protectedPaths++) {
        struct stat other;
        if (stat(*protectedPaths, &other) == 0 && other.st_dev == file.st_dev &&
            other.st_ino == file.st_ino) {
            return true;
        }
    }
    return false;
}

// Writes all of it, or says why not.
static uint32_t WriteAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, bytes, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? (uint32_t)errno : (uint32_t)EIO;
        }
        bytes += written;
        length -= (size_t)written;
    }
    return 0;
}

uint32_t PlatformAppendRecord(const char* path, const char* const* protectedPaths,
                              const char* header, const char* record) {
    int error = 0;
    int fd = OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT, &error);
    if (fd < 0) {
        return (uint32_t)error;
    }
    struct stat info;
    uint32_t refused = fstat(fd, &info) != 0               ? (uint32_t)errno
                       : IsProtected(info, protectedPaths) ? (uint32_t)PLATFORM_PROTECTED_FILE
                                                           : 0;
    if (refused != 0) {
        close(fd);
        return refused;
    }
    // Held from the size check to the end of the write: of two runs that
    // start the file at once only one finds it empty.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    char bytes[PLATFORM_RECORD_MAX];
    int length = snprintf(bytes, sizeof bytes, "%s%s",
                          fstat(fd, &info) == 0 && info.st_size == 0 ? header : "", record);
    uint32_t result = length < 0 || (size_t)length >= sizeof bytes
                          ? (uint32_t)EOVERFLOW
                          : WriteAll(fd, bytes, (size_t)length);
    if (result == 0 && fsync(fd) != 0) {
        result = (uint32_t)errno;
    }
    if (close(fd) != 0 && result == 0) {
        result = (uint32_t)errno;
    }
    return result;
}

void PlatformSdkTextToUtf8(const char* text, char* out, size_t capacity) {
    snprintf(out, capacity, "%s", text);
}
