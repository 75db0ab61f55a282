// --publish on POSIX: the operator's command through /bin/sh, fed through a
// pipe, in a process group of its own so that the terminal's Ctrl-C and
// hangup reach the station alone, which ends in order and then closes the
// pipe.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/console_backlog.h"
#include "platform/posix/posix_platform.h"

extern char** environ;

enum { ENDED_CHECK_MS = 50 };

static pid_t Publisher = -1;
static int PublisherInput = -1; // the pipe's end the station writes
static bool InputBroken;        // a write failed: the command stopped reading
static bool Reaped;
static int ExitStatus;

bool PlatformPublisherStart(const char* command) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command),
                    nullptr};
    int failed = SpawnInGroupOfItsOwn("/bin/sh", argv, environ, ends[0], -1, &Publisher);
    close(ends[0]);
    if (failed != 0) {
        close(ends[1]);
        Publisher = -1;
        errno = failed;
        return false;
    }
    PublisherInput = ends[1];
    return true;
}

// On the writer's thread; once a write fails nothing more is tried.
void PublishWriteNow(const char* bytes, size_t count) {
    while (count > 0 && PublisherInput >= 0 && !InputBroken) {
        ssize_t written = write(PublisherInput, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            InputBroken = true;
            return;
        }
        bytes += written;
        count -= (size_t)written;
    }
}

bool PlatformPublisherEnded(int* status) {
    int waitStatus = 0;
    if (!Reaped && Publisher > 0 && waitpid(Publisher, &waitStatus, WNOHANG) == Publisher) {
        Reaped = true;
        ExitStatus = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
    }
    *status = ExitStatus;
    return Reaped;
}

bool PlatformPublisherFinish(uint32_t ms, int* status) {
    uint64_t deadline = PlatformKernelMilliseconds() + ms;
    if (ConsoleEndPublishWriter(ms) && PublisherInput >= 0) {
        close(PublisherInput); // the end of its input: the command ends
        PublisherInput = -1;
    }
    while (!PlatformPublisherEnded(status) && PlatformKernelMilliseconds() < deadline) {
        PlatformSleep(ENDED_CHECK_MS);
    }
    return Reaped;
}
