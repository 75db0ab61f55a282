// The station's workers on POSIX: this program again, in a process group of
// its own, its JSON Lines read through a pipe.
#include "platform/platform.h"
#include "platform/posix/posix_platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

struct PlatformWorker {
    pid_t pid;
    int output;
    bool ended;   // its process has ended and was waited for
    int status;   // then its wait status
    bool drained; // its pipe is at its end, or what it left was read
};

// A worker whose pipe has ended is still exiting: its process is asked this
// often until it has, and the station reads the others meanwhile (with 256
// workers ending at once, a wait for each held all the rest up).
static const uint32_t EXITING_CHECK_MS = 5;

// What every worker gets besides the station's environment: the station's
// process id, so that a worker on Linux can tell whether the station that
// started it is still there.
static char** WorkerEnvironment() {
    static char** environment;
    static char stationPid[48];
    if (environment != nullptr) {
        return environment;
    }
    size_t count = 0;
    while (environ[count] != nullptr) {
        count++;
    }
    environment = static_cast<char**>(calloc(count + 2, sizeof(char*)));
    if (environment == nullptr) {
        return environ;
    }
    snprintf(stationPid, sizeof stationPid, STATION_PID_VARIABLE "=%ld", (long)getpid());
    size_t n = 0;
    for (size_t i = 0; i < count; i++) {
        if (strncmp(environ[i], STATION_PID_VARIABLE "=", sizeof STATION_PID_VARIABLE) != 0) {
            environment[n++] = environ[i];
        }
    }
    environment[n++] = stationPid;
    return environment;
}

PlatformWorker* PlatformStartWorker(const char* const* arguments, uint32_t* error) {
    char* argv[PLATFORM_WORKER_ARGUMENTS_MAX + 2] = {const_cast<char*>("Kestrune")};
    for (size_t i = 0; arguments[i] != nullptr; i++) {
        if (i == PLATFORM_WORKER_ARGUMENTS_MAX) {
            *error = E2BIG;
            return nullptr;
        }
        argv[i + 1] = const_cast<char*>(arguments[i]);
    }
    PlatformWorker* worker = static_cast<PlatformWorker*>(calloc(1, sizeof(PlatformWorker)));
    int pipeEnds[2] = {-1, -1};
    if (worker == nullptr || pipe2(pipeEnds, O_CLOEXEC) != 0) {
        *error = (uint32_t)errno;
        free(worker);
        return nullptr;
    }
    pid_t pid = -1;
    int failed =
        SpawnInGroupOfItsOwn("/proc/self/exe", argv, WorkerEnvironment(), -1, pipeEnds[1], &pid);
    close(pipeEnds[1]);
    if (failed != 0) {
        close(pipeEnds[0]);
        free(worker);
        *error = (uint32_t)failed;
        return nullptr;
    }
    fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
    worker->pid = pid;
    worker->output = pipeEnds[0];
    return worker;
}

// A read that takes what is there: bytes, 0 at the end, -1 for nothing yet.
static long ReadAvailable(int fd, char* buffer, size_t capacity) {
    ssize_t bytes = read(fd, buffer, capacity);
    return bytes >= 0 ? (long)bytes : errno == EINTR || errno == EAGAIN ? -1 : 0;
}

// A worker whose process has ended: what it left in the pipe (all of it:
// one read of a pipe's whole capacity), then its end, whoever else holds
// the pipe open.
static long TakeEnded(PlatformWorker* worker, char* buffer, size_t capacity) {
    long got = worker->drained ? 0 : ReadAvailable(worker->output, buffer, capacity);
    worker->drained = true;
    return got > 0 ? got : 0;
}

// Marks the workers whose process has ended, whoever still holds their
// pipe open (a helper they left). One look at all the station's children
// first: with 256 workers, a wait for each was 256 walks of them a check.
static void MarkEnded(PlatformWorker* const* workers, size_t count) {
    siginfo_t info = {};
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) {
        return;
    }
    for (size_t i = 0; i < count; i++) {
        PlatformWorker* worker = workers[i];
        if (!worker->ended && waitpid(worker->pid, &worker->status, WNOHANG) == worker->pid) {
            worker->ended = true;
        }
    }
}

static bool Reaped(PlatformWorker* worker) {
    worker->ended = worker->ended || waitpid(worker->pid, &worker->status, WNOHANG) == worker->pid;
    return worker->ended;
}

long PlatformReadWorkers(PlatformWorker* const* workers, size_t count, uint32_t milliseconds,
                         bool checkEnds, char* buffer, size_t capacity, size_t* which) {
    if (checkEnds) {
        MarkEnded(workers, count);
    }
    bool exiting = false;
    for (size_t i = 0; i < count; i++) {
        if (workers[i]->drained ? Reaped(workers[i]) : workers[i]->ended) {
            *which = i;
            return TakeEnded(workers[i], buffer, capacity);
        }
        exiting = exiting || workers[i]->drained;
    }
    pollfd* outputs = static_cast<pollfd*>(calloc(count, sizeof(pollfd)));
    if (outputs == nullptr) {
        usleep(milliseconds * 1000); // nothing to wait on: only the time
        return -1;
    }
    for (size_t i = 0; i < count; i++) {
        outputs[i].fd = workers[i]->drained ? -1 : workers[i]->output;
        outputs[i].events = POLLIN;
    }
    milliseconds = exiting && milliseconds > EXITING_CHECK_MS ? EXITING_CHECK_MS : milliseconds;
    long got = -1;
    // A stop signal ends the wait (EINTR): the station passes it on at once.
    if (poll(outputs, count, (int)milliseconds) > 0) {
        for (size_t i = 0; i < count && got < 0; i++) {
            if (outputs[i].revents != 0) {
                *which = i;
                got = ReadAvailable(outputs[i].fd, buffer, capacity);
                workers[i]->drained = got == 0;
                got = got == 0 && !Reaped(workers[i]) ? -1 : got;
            }
        }
    }
    free(outputs);
    return got;
}

bool PlatformStopWorker(PlatformWorker* worker) {
    kill(worker->pid, SIGINT);
    return true;
}

int PlatformEndWorker(PlatformWorker* worker) {
    close(worker->output);
    int status = worker->status;
    while (!worker->ended && waitpid(worker->pid, &status, 0) < 0 && errno == EINTR) {
    }
    free(worker);
    return WIFEXITED(status)     ? WEXITSTATUS(status)
           : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                 : 1;
}
