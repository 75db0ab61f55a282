// The terminal on POSIX systems: output as written, one key without echo.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console_backlog.h"

// Writes all of it; errors change nothing.
static void WriteAll(int fd, const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t written = write(fd, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return; // console errors change nothing
        }
        bytes += written;
        count -= (size_t)written;
    }
}

// The console, and the JSON on standard output, are each written by a
// thread of their own (see console_backlog.h).
struct Writer {
    int fd;
    pthread_mutex_t lock;
    pthread_cond_t added;
    pthread_cond_t allWritten;
    ConsoleBacklog backlog, writing;
    bool busy;   // the thread has bytes in hand
    bool ending; // the process is ending: write what is left, then end
    pthread_t thread;
    enum { NOT_STARTED, RUNS, FAILED } state;
};

// (Each redraw of the JSON is a line of its own: see console_backlog.h.)
#define WRITER_FOR(standAlone)                                                                     \
    {                                                                                              \
        STDOUT_FILENO, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER,                        \
            PTHREAD_COND_INITIALIZER, {nullptr, 0, 0, 0, false, standAlone},                       \
            {nullptr, 0, 0, 0, false, standAlone}, false, false, {}, Writer::NOT_STARTED           \
    }
static Writer Console = WRITER_FOR(false);
static Writer Json = WRITER_FOR(true);

enum { JSON_READER_GRACE_S = 5 };

static void* WriteAway(void* context) {
    Writer* w = static_cast<Writer*>(context);
    pthread_mutex_lock(&w->lock);
    for (;;) {
        while (w->backlog.count == 0) {
            w->busy = false;
            pthread_cond_broadcast(&w->allWritten);
            if (w->ending) {
                pthread_mutex_unlock(&w->lock);
                return nullptr;
            }
            pthread_cond_wait(&w->added, &w->lock);
        }
        w->busy = true;
        ConsoleBacklogTake(&w->backlog, &w->writing);
        int fd = w->fd;
        pthread_mutex_unlock(&w->lock);
        WriteAll(fd, w->writing.bytes, w->writing.count);
        pthread_mutex_lock(&w->lock);
    }
}

// Waits until everything given is written, or until the deadline (a
// CLOCK_REALTIME time; null for none) has passed. True when all is written.
static bool WaitWritten(Writer* w, const struct timespec* deadline) {
    pthread_mutex_lock(&w->lock);
    bool timedOut = false;
    while (w->state == Writer::RUNS && (w->backlog.count > 0 || w->busy) && !timedOut) {
        timedOut = deadline != nullptr
                       ? pthread_cond_timedwait(&w->allWritten, &w->lock, deadline) == ETIMEDOUT
                       : pthread_cond_wait(&w->allWritten, &w->lock) != 0;
    }
    bool written = w->state != Writer::RUNS || (w->backlog.count == 0 && !w->busy);
    pthread_mutex_unlock(&w->lock);
    return written;
}

void PlatformConsoleFlush() {
    WaitWritten(&Console, nullptr);
}

// At the end of the process: nothing said on the console is lost; a JSON
// reader that does not read gets a few seconds, then the process ends
// without it (the log and the record are written already).
static void EndWriter(Writer* w, bool waitAsLongAsItTakes) {
    if (!waitAsLongAsItTakes) {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += JSON_READER_GRACE_S;
        if (!WaitWritten(w, &deadline)) {
            return;
        }
    }
    pthread_mutex_lock(&w->lock);
    w->ending = true;
    pthread_cond_signal(&w->added);
    pthread_mutex_unlock(&w->lock);
    pthread_join(w->thread, nullptr);
    w->state = Writer::FAILED; // anything said later goes straight out
}

static void EndWriters() {
    if (Json.state == Writer::RUNS) {
        EndWriter(&Json, false);
    }
    if (Console.state == Writer::RUNS) {
        EndWriter(&Console, true);
    }
}

static bool StartWriter(Writer* w) {
    if (w->state == Writer::NOT_STARTED) {
        // The stop signals stay with the main thread, whose waits they end.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        bool started = pthread_create(&w->thread, nullptr, WriteAway, w) == 0;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        w->state = started ? Writer::RUNS : Writer::FAILED;
        static bool endsRegistered;
        if (started && !endsRegistered) {
            endsRegistered = true;
            atexit(EndWriters);
        }
    }
    return w->state == Writer::RUNS;
}

static void Queue(Writer* w, const char* bytes, size_t count, bool redraw) {
    if (StartWriter(w)) {
        pthread_mutex_lock(&w->lock);
        bool added = ConsoleBacklogAdd(&w->backlog, bytes, count, redraw);
        pthread_cond_signal(&w->added);
        pthread_mutex_unlock(&w->lock);
        if (added) {
            return;
        }
        WaitWritten(w, nullptr); // out of memory: the old way, in order
    }
    WriteAll(w->fd, bytes, count);
}

void PlatformConsoleWrite(const char* bytes, size_t count) {
    Queue(&Console, bytes, count, false);
}

void PlatformConsoleRedraw(const char* bytes, size_t count) {
    Queue(&Console, bytes, count, true);
}

bool PlatformConsoleRedrawsLines() {
    const char* terminal = getenv("TERM");
    return isatty(Console.fd) && terminal != nullptr && strcmp(terminal, "dumb") != 0;
}

void PlatformRunIsUnattended() {} // nothing waits at the end here

void PlatformConsoleToStandardError() {
    PlatformConsoleFlush();
    pthread_mutex_lock(&Console.lock);
    Console.fd = STDERR_FILENO;
    pthread_mutex_unlock(&Console.lock);
    // The JSON keeps standard output to itself, on a descriptor no child
    // inherits: what the SDK (or a helper it starts) writes to descriptor 1
    // goes where the console goes.
    int json = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (json >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) {
        Json.fd = json;
    }
}

void PlatformStandardOutputWrite(const char* bytes, size_t count, bool replaceable) {
    Queue(&Json, bytes, count, replaceable);
}

void PlatformStandardOutputFlush() {
    WaitWritten(&Json, nullptr);
}

// One byte, or -1 at its end or once a stop is asked for. The stop signals
// are let through only inside pselect, so one that comes just before the
// wait still ends it.
static int ReadByte() {
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, &previous);
    int key = -1;
    while (!PlatformStopRequested()) {
        fd_set input;
        FD_ZERO(&input);
        FD_SET(STDIN_FILENO, &input);
        int ready = pselect(STDIN_FILENO + 1, &input, nullptr, nullptr, nullptr, &previous);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        unsigned char byte;
        ssize_t got = ready > 0 ? read(STDIN_FILENO, &byte, 1) : -1;
        if (got < 0 && errno == EINTR) {
            continue;
        }
        key = got == 1 ? byte : -1;
        break;
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return key;
}

// The terminal settings to put back if SIGQUIT ends the process mid-read
// (the stop signals only end the read).
static struct termios SavedTerminal;

static void RestoreTerminalAndDie(int signalNumber) {
    tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

int PlatformReadKey() {
    PlatformConsoleFlush(); // the question is on the screen before a key counts
    struct termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        return ReadByte(); // not a terminal
    }
    SavedTerminal = saved;
    void (*previous)(int) = signal(SIGQUIT, RestoreTerminalAndDie);
    // A key typed while the checks were still running does not answer the
    // question; on a pipe, where scripts give the Y, nothing is discarded.
    tcflush(STDIN_FILENO, TCIFLUSH);
    struct termios raw = saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    int key = ReadByte();
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    signal(SIGQUIT, previous);
    return key;
}
