// Hashing the image and appending the history record on POSIX systems.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

bool PlatformFileSha256(const char* path, char hex[65]) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    struct sha256_ctx context;
    sha256_init(&context);
    uint8_t block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof block, file)) > 0) {
        sha256_update(&context, got, block);
    }
    bool ok = !ferror(file);
    fclose(file);
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    for (size_t i = 0; i < sizeof digest; i++) {
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    return ok;
}

uint32_t PlatformAppendRecord(const char* path, const char* header, const char* record) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return (uint32_t)errno;
    }
    struct stat info;
    char bytes[PLATFORM_RECORD_MAX];
    int length = snprintf(bytes, sizeof bytes, "%s%s",
                          fstat(fd, &info) == 0 && info.st_size == 0 ? header : "", record);
    if (length < 0 || (size_t)length >= sizeof bytes) {
        close(fd);
        return EOVERFLOW;
    }
    // One write in append mode: a record is never split by another's.
    ssize_t written;
    do {
        written = write(fd, bytes, (size_t)length);
    } while (written < 0 && errno == EINTR);
    uint32_t error = written < 0         ? (uint32_t)errno
                     : written != length ? (uint32_t)EIO
                     : fsync(fd) != 0    ? (uint32_t)errno
                                         : 0;
    if (close(fd) != 0 && error == 0) {
        error = (uint32_t)errno;
    }
    return error;
}
