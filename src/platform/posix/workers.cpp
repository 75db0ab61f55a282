// The station's workers on POSIX: this program again, in a process group of
// its own, its JSON Lines read through a pipe.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

struct PlatformWorker {
    pid_t pid;
    int output;
};

enum { WORKER_ARGUMENTS_MAX = 32 };

PlatformWorker* PlatformStartWorker(const char* const* arguments, uint32_t* error) {
    char* argv[WORKER_ARGUMENTS_MAX + 2] = {const_cast<char*>("Kestrune")};
    for (size_t i = 0; arguments[i] != nullptr; i++) {
        if (i == WORKER_ARGUMENTS_MAX) {
            *error = E2BIG;
            return nullptr;
        }
        argv[i + 1] = const_cast<char*>(arguments[i]);
    }
    PlatformWorker* worker = static_cast<PlatformWorker*>(malloc(sizeof(PlatformWorker)));
    int pipeEnds[2];
    if (worker == nullptr || pipe2(pipeEnds, O_CLOEXEC) != 0) {
        *error = (uint32_t)errno;
        free(worker);
        return nullptr;
    }
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Its own process group: the terminal's Ctrl-C reaches the station
    // alone, which passes it on once. Signals as a fresh start has them.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, stops;
    sigemptyset(&none);
    sigemptyset(&stops);
    static const int reset[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};
    for (int signalNumber : reset) {
        sigaddset(&stops, signalNumber);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &stops);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int failed = posix_spawn(&pid, "/proc/self/exe", &files, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    close(pipeEnds[1]);
    if (failed != 0) {
        close(pipeEnds[0]);
        free(worker);
        *error = (uint32_t)failed;
        return nullptr;
    }
    worker->pid = pid;
    worker->output = pipeEnds[0];
    return worker;
}

long PlatformReadWorkers(PlatformWorker* const* workers, size_t count, uint32_t milliseconds,
                         char* buffer, size_t capacity, size_t* which) {
    pollfd* outputs = static_cast<pollfd*>(calloc(count, sizeof(pollfd)));
    if (outputs == nullptr) {
        usleep(milliseconds * 1000); // nothing to wait on: only the time
        return -1;
    }
    for (size_t i = 0; i < count; i++) {
        outputs[i].fd = workers[i]->output;
        outputs[i].events = POLLIN;
    }
    long got = -1;
    // A stop signal ends the wait (EINTR): the station passes it on at once.
    if (poll(outputs, count, (int)milliseconds) > 0) {
        for (size_t i = 0; i < count && got < 0; i++) {
            if (outputs[i].revents != 0) {
                *which = i;
                ssize_t bytes = read(outputs[i].fd, buffer, capacity);
                got = bytes >= 0 ? (long)bytes : errno == EINTR || errno == EAGAIN ? -1 : 0;
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
    int status = 0;
    while (waitpid(worker->pid, &status, 0) < 0 && errno == EINTR) {
    }
    free(worker);
    return WIFEXITED(status)     ? WEXITSTATUS(status)
           : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                 : 1;
}
