// The terminal on POSIX systems: output as written, one key without echo.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/ioctl.h>
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

static int ConsoleFd = STDOUT_FILENO;
static int JsonFd = STDOUT_FILENO;

void ConsoleWriteNow(const char* bytes, size_t count) {
    WriteAll(ConsoleFd, bytes, count);
}

void JsonWriteNow(const char* bytes, size_t count) {
    WriteAll(JsonFd, bytes, count);
}

bool PlatformConsoleRedrawsLines() {
    const char* terminal = getenv("TERM");
    return isatty(ConsoleFd) && terminal != nullptr && strcmp(terminal, "dumb") != 0;
}

void PlatformConsoleSize(int* rows, int* columns) {
    struct winsize size;
    if (ioctl(ConsoleFd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
        *rows = size.ws_row;
        *columns = size.ws_col;
    }
}

void PlatformRunIsUnattended() {} // nothing waits at the end here

void PlatformConsoleToStandardError() {
    // (Once all is written, the writer waits for more: the next bytes
    // queued reach it after the change.)
    PlatformConsoleFlush();
    ConsoleFd = STDERR_FILENO;
    // The JSON keeps standard output to itself, on a descriptor no child
    // inherits: what the SDK (or a helper it starts) writes to descriptor 1
    // goes where the console goes.
    int json = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (json >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) >= 0) {
        JsonFd = json;
    }
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
