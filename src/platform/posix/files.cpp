// The image file, hashing and the history record on POSIX systems.
#include "platform/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <nettle/sha2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Whether path names one of protectedPaths, by identity through any link.
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

// The directory part of path resolved, and its last part: the name a file
// that is not there yet would have.
static bool CanonicalName(const char* path, char out[PATH_MAX]) {
    const char* slash = strrchr(path, '/');
    char directory[PATH_MAX];
    int length = slash == nullptr ? 1 : slash == path ? 1 : (int)(slash - path);
    snprintf(directory, sizeof directory, "%.*s", length, slash == nullptr ? "." : path);
    char resolved[PATH_MAX];
    if (realpath(directory, resolved) == nullptr) {
        return false;
    }
    return snprintf(out, PATH_MAX, "%s/%s", resolved, slash ? slash + 1 : path) < PATH_MAX;
}

// For a path that is not there: whether creating it would create one of
// protectedPaths, which are not there either.
static bool NamesProtected(const char* path, const char* const* protectedPaths) {
    char name[PATH_MAX], other[PATH_MAX];
    if (!CanonicalName(path, name)) {
        return false;
    }
    for (; *protectedPaths != nullptr; protectedPaths++) {
        if (CanonicalName(*protectedPaths, other) && strcmp(name, other) == 0) {
            return true;
        }
    }
    return false;
}

// Opened non-blocking, so that neither a FIFO nor a device can hold the
// open; once it is known to be a regular file the flag goes. A file that
// nobody may write is not opened for writing, not even by root. With
// O_CREAT a missing file is created, but never through a link that leads
// nowhere, and never when it would be one of protectedPaths.
static int OpenRegular(const char* path, int flags, const char* const* protectedPaths, int* error) {
    static const char* const none[] = {nullptr};
    protectedPaths = protectedPaths != nullptr ? protectedPaths : none;
    bool create = (flags & O_CREAT) != 0;
    flags = (flags & ~O_CREAT) | O_NONBLOCK | O_CLOEXEC;
    int fd = open(path, flags);
    if (fd < 0 && errno == ENOENT && create) {
        if (NamesProtected(path, protectedPaths)) {
            *error = (int)PLATFORM_PROTECTED_FILE;
            return -1;
        }
        fd = open(path, flags | O_CREAT | O_EXCL, 0644);
        if (fd < 0 && errno == EEXIST) {
            // Another run created it meanwhile (a station's workers all
            // start one history): open that. A link to nowhere stays refused.
            fd = open(path, flags);
            errno = fd < 0 && errno == ENOENT ? EEXIST : errno;
        }
    }
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat info;
    *error = fstat(fd, &info) != 0               ? errno
             : !S_ISREG(info.st_mode)            ? EINVAL
             : IsProtected(info, protectedPaths) ? (int)PLATFORM_PROTECTED_FILE
             : (flags & O_ACCMODE) != O_RDONLY && !(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))
                 ? EACCES
                 : 0;
    if (*error != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

static FILE* StreamOf(int fd, const char* mode, int error) {
    FILE* stream = fd >= 0 ? fdopen(fd, mode) : nullptr;
    if (stream == nullptr) {
        if (fd >= 0) {
            error = errno;
            close(fd);
        }
        errno = error;
    }
    return stream;
}

FILE* PlatformOpenRegularFile(const char* path, bool forWriting) {
    int error = 0;
    int fd = OpenRegular(path, forWriting ? O_RDWR : O_RDONLY, nullptr, &error);
    return StreamOf(fd, forWriting ? "r+b" : "rb", error);
}

FILE* PlatformOpenLogFile(const char* path, const char* const* protectedPaths) {
    int error = 0;
    int fd = OpenRegular(path, O_WRONLY | O_CREAT, protectedPaths, &error);
    // Emptied only now that it is known to be a file of its own.
    if (fd >= 0 && ftruncate(fd, 0) != 0) {
        error = errno;
        close(fd);
        fd = -1;
    }
    return StreamOf(fd, "wb", error);
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

// Waits for the lock as long as another run holds it, unless wait says not
// to wait at all. Only a run that is writing holds it (the lock goes with
// its holder's end), and a record given up is a unit lost to the records:
// so no time limit, which a busy disk or a slowed clock would shrink below
// what the holder needs. A second stop ends a run on its own at once.
static int LockWhileHeld(int fd, RecordWait wait) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return 0;
        }
        int error = errno;
        if ((error != EWOULDBLOCK && error != EINTR) || wait == RECORD_NO_WAIT) {
            return error;
        }
        struct timespec pause = {0, 20 * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

// The file's first bytes and its last, read through a descriptor of their
// own: the file is open for writing only (a FIFO opened for reading too
// would not fail).
static void LookAt(const char* path, const struct stat& file, char* head,
                   PlatformFoundFile* found) {
    *found = PlatformFoundFile{head, 0, file.st_size == 0, true};
    int fd = file.st_size > 0 ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && info.st_dev == file.st_dev &&
        info.st_ino == file.st_ino) {
        char last = '\n';
        size_t want =
            file.st_size < PLATFORM_HEAD_MAX ? (size_t)file.st_size : (size_t)PLATFORM_HEAD_MAX;
        ssize_t got = pread(fd, head, want, 0);
        found->headCount = got > 0 ? (size_t)got : 0;
        found->endsInLineFeed = pread(fd, &last, 1, file.st_size - 1) != 1 || last == '\n';
    }
    if (fd >= 0) {
        close(fd);
    }
}

uint32_t PlatformAppendLocked(const char* path, const char* const* protectedPaths, RecordWait wait,
                              PlatformComposeAppend compose, const void* context) {
    int error = 0;
    int fd = OpenRegular(path, O_WRONLY | O_APPEND | O_CREAT, protectedPaths, &error);
    if (fd < 0) {
        return (uint32_t)error;
    }
    error = LockWhileHeld(fd, wait);
    struct stat info;
    if (error == 0 && fstat(fd, &info) != 0) {
        error = errno;
    }
    if (error != 0) {
        close(fd);
        return (uint32_t)error;
    }
    char head[PLATFORM_HEAD_MAX];
    PlatformFoundFile found;
    LookAt(path, info, head, &found);
    char bytes[PLATFORM_APPEND_MAX];
    size_t length = compose(found, bytes, sizeof bytes, context);
    uint32_t result = length == 0 ? (uint32_t)EOVERFLOW : WriteAll(fd, bytes, length);
    if (result == 0 && fsync(fd) != 0) {
        result = (uint32_t)errno;
    }
    // Whole or absent: what a full disk let through goes again.
    if (result != 0 && ftruncate(fd, info.st_size) == 0) {
        fsync(fd);
    }
    if (close(fd) != 0 && result == 0) {
        result = (uint32_t)errno;
    }
    return result;
}

void PlatformComputerName(char* out, size_t capacity) {
    if (gethostname(out, capacity) != 0) {
        out[0] = '\0';
    }
    out[capacity - 1] = '\0'; // a name cut short need not end in one
}

void PlatformWriteAtOnce(int descriptor, const char* bytes, size_t count) {
    ssize_t written = write(descriptor, bytes, count);
    (void)written; // nothing to be done about it: the process ends
}

bool PlatformNarrowTextToUtf8(const char* text, char* out, size_t capacity) {
    return (size_t)snprintf(out, capacity, "%s", text) < capacity;
}

bool PlatformNameReachesWorker(const char* narrow, const char* utf8) {
    return strcmp(narrow, utf8) == 0;
}

size_t PlatformWholeCharacters(const char*, size_t count) {
    return count;
}

FILE* PlatformOpenSpool() {
    const char* folder = getenv("TMPDIR"); // as the user chose, as tmpfile() would not
    char path[4096];
    int length = snprintf(path, sizeof path, "%s/kestrune-XXXXXX",
                          folder != nullptr && folder[0] == '/' ? folder : "/tmp");
    int fd = length > 0 && (size_t)length < sizeof path ? mkostemp(path, O_CLOEXEC) : -1;
    if (fd < 0) {
        return nullptr;
    }
    unlink(path); // gone with the process, however it ends
    FILE* spool = fdopen(fd, "w+b");
    if (spool == nullptr) {
        close(fd);
    }
    return spool;
}
