// The terminal on POSIX systems: output as written, one key without echo.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console_backlog.h"

static int ConsoleDescriptor = STDOUT_FILENO;

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

// The console is written by a thread of its own (see console_backlog.h).
static pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t Added = PTHREAD_COND_INITIALIZER;
static pthread_cond_t AllWritten = PTHREAD_COND_INITIALIZER;
static ConsoleBacklog Backlog, Writing;
static bool Busy;   // the writer has bytes in hand
static bool Ending; // the process is ending: write what is left, then end
static pthread_t WriterThread;
static enum { WRITER_NOT_STARTED, WRITER_RUNS, WRITER_FAILED } Writer;

static void* WriteConsole(void*) {
    pthread_mutex_lock(&Lock);
    for (;;) {
        while (Backlog.count == 0) {
            Busy = false;
            pthread_cond_broadcast(&AllWritten);
            if (Ending) {
                pthread_mutex_unlock(&Lock);
                return nullptr;
            }
            pthread_cond_wait(&Added, &Lock);
        }
        Busy = true;
        ConsoleBacklogTake(&Backlog, &Writing);
        int fd = ConsoleDescriptor;
        pthread_mutex_unlock(&Lock);
        WriteAll(fd, Writing.bytes, Writing.count);
        pthread_mutex_lock(&Lock);
    }
}

void PlatformConsoleFlush() {
    pthread_mutex_lock(&Lock);
    while (Writer == WRITER_RUNS && (Backlog.count > 0 || Busy)) {
        pthread_cond_wait(&AllWritten, &Lock);
    }
    pthread_mutex_unlock(&Lock);
}

// At the end of the process: nothing said is lost.
static void EndWriter() {
    pthread_mutex_lock(&Lock);
    Ending = true;
    pthread_cond_signal(&Added);
    pthread_mutex_unlock(&Lock);
    pthread_join(WriterThread, nullptr);
    Writer = WRITER_FAILED; // anything said later goes straight out
}

static bool StartWriter() {
    if (Writer == WRITER_NOT_STARTED) {
        // The stop signals stay with the main thread, whose waits they end.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        bool started = pthread_create(&WriterThread, nullptr, WriteConsole, nullptr) == 0;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        Writer = started ? WRITER_RUNS : WRITER_FAILED;
        if (started) {
            atexit(EndWriter);
        }
    }
    return Writer == WRITER_RUNS;
}

static void Queue(const char* bytes, size_t count, bool redraw) {
    if (StartWriter()) {
        pthread_mutex_lock(&Lock);
        bool added = ConsoleBacklogAdd(&Backlog, bytes, count, redraw);
        pthread_cond_signal(&Added);
        pthread_mutex_unlock(&Lock);
        if (added) {
            return;
        }
        PlatformConsoleFlush(); // out of memory: the old way, in order
    }
    WriteAll(ConsoleDescriptor, bytes, count);
}

void PlatformConsoleWrite(const char* bytes, size_t count) {
    Queue(bytes, count, false);
}

void PlatformConsoleRedraw(const char* bytes, size_t count) {
    Queue(bytes, count, true);
}

bool PlatformConsoleRedrawsLines() {
    const char* terminal = getenv("TERM");
    return isatty(ConsoleDescriptor) && terminal != nullptr && strcmp(terminal, "dumb") != 0;
}

void PlatformRunIsUnattended() {} // nothing waits at the end here

void PlatformConsoleToStandardError() {
    PlatformConsoleFlush();
    pthread_mutex_lock(&Lock);
    ConsoleDescriptor = STDERR_FILENO;
    pthread_mutex_unlock(&Lock);
}

void PlatformStandardOutputWrite(const char* bytes, size_t count) {
    WriteAll(STDOUT_FILENO, bytes, count);
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
