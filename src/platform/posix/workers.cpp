// The station's workers on POSIX: this program again, in a process group of
// its own, its JSON Lines read through a pipe.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

extern char** environ;

struct PlatformWorker {
    pid_t pid;
    int output;
    bool ended;   // its process has ended and was waited for
    int status;   // then its wait status
    bool drained; // what it left in the pipe after its end was read
};

enum { WORKER_ARGUMENTS_MAX = 128 };

// In the child, between fork and exec: async-signal-safe calls only. An
// error goes back through notify as its errno.
[[noreturn]] static void BecomeWorker(char* const* argv, int output, int notify, pid_t station) {
    int error = 0;
    // Its own process group: the terminal's Ctrl-C reaches the station
    // alone, which passes it on once. Signals as a fresh start has them.
    setpgid(0, 0);
    struct sigaction original = {};
    original.sa_handler = SIG_DFL;
    static const int reset[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};
    for (int signalNumber : reset) {
        sigaction(signalNumber, &original, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
#ifdef __linux__
    // A station that is gone (killed, or ended at once) stops its workers
    // in order, as the operator's stop would; one that died before this
    // line is seen by the check after it.
    prctl(PR_SET_PDEATHSIG, SIGINT);
#endif
    int null = open("/dev/null", O_RDWR);
    if (getppid() != station) {
        error = ESRCH;
    } else if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
               dup2(null, STDERR_FILENO) < 0) {
        error = errno;
    } else {
        execve("/proc/self/exe", argv, environ);
        error = errno;
    }
    ssize_t ignored = write(notify, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

PlatformWorker* PlatformStartWorker(const char* const* arguments, uint32_t* error) {
    char* argv[WORKER_ARGUMENTS_MAX + 2] = {const_cast<char*>("Kestrune")};
    for (size_t i = 0; arguments[i] != nullptr; i++) {
        if (i == WORKER_ARGUMENTS_MAX) {
            *error = E2BIG;
            return nullptr;
        }
        argv[i + 1] = const_cast<char*>(arguments[i]);
    }
    PlatformWorker* worker = static_cast<PlatformWorker*>(calloc(1, sizeof(PlatformWorker)));
    int pipeEnds[2] = {-1, -1}, notify[2] = {-1, -1};
    if (worker == nullptr || pipe2(pipeEnds, O_CLOEXEC) != 0 || pipe2(notify, O_CLOEXEC) != 0) {
        *error = (uint32_t)errno;
        for (int fd : {pipeEnds[0], pipeEnds[1], notify[0], notify[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        free(worker);
        return nullptr;
    }
    pid_t station = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        BecomeWorker(argv, pipeEnds[1], notify[1], station);
    }
    int failed = pid < 0 ? errno : 0;
    close(pipeEnds[1]);
    close(notify[1]);
    // Nothing comes back once exec has closed the child's end.
    while (pid > 0 && read(notify[0], &failed, sizeof failed) < 0 && errno == EINTR) {
    }
    close(notify[0]);
    if (failed != 0) {
        if (pid > 0) {
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
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

// A worker's end shows in its pipe unless a helper holds the pipe open:
// each process is asked at most this often, not at every read (with 256
// workers that was 256 system calls a line).
static const uint32_t END_CHECK_MS = 100;
static uint64_t NextEndCheck;

long PlatformReadWorkers(PlatformWorker* const* workers, size_t count, uint32_t milliseconds,
                         char* buffer, size_t capacity, size_t* which) {
    uint64_t now = PlatformMilliseconds();
    bool check = now >= NextEndCheck;
    NextEndCheck = check ? now + END_CHECK_MS : NextEndCheck;
    for (size_t i = 0; i < count; i++) {
        PlatformWorker* worker = workers[i];
        if (check && !worker->ended &&
            waitpid(worker->pid, &worker->status, WNOHANG) == worker->pid) {
            worker->ended = true;
        }
        if (worker->ended) {
            *which = i;
            return TakeEnded(worker, buffer, capacity);
        }
    }
    // (Past an ended one, the wait is at most until the next check.)
    milliseconds = milliseconds < END_CHECK_MS ? milliseconds : END_CHECK_MS;
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
                got = ReadAvailable(outputs[i].fd, buffer, capacity);
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
