// Preloaded into a station and its workers: every fsync and fdatasync takes
// 50 ms more, as a slow disk or a network share would, so that a history's
// lock is held that long by each record. The lag is real time, taken by
// the system call itself: a sped-up clock (libfaketime) does not shorten it.
#include <ctime>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

static void Lag() {
    struct timespec lag = {0, 50 * 1000000L};
    while (syscall(SYS_nanosleep, &lag, &lag) != 0) {
    }
}

extern "C" int fsync(int fd) {
    static int (*real)(int) = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    Lag();
    return real(fd);
}

extern "C" int fdatasync(int fd) {
    static int (*real)(int) = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fdatasync"));
    Lag();
    return real(fd);
}
