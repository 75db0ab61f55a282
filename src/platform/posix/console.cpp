// The terminal on POSIX systems: output as written, one key without echo.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <termios.h>
#include <unistd.h>

void PlatformConsoleWrite(const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t written = write(STDOUT_FILENO, bytes, count);
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

static int ReadByte() {
    unsigned char byte;
    ssize_t got;
    do {
        got = read(STDIN_FILENO, &byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 ? byte : -1;
}

// The terminal settings to put back if a signal ends the process mid-read.
static struct termios SavedTerminal;

static void RestoreTerminalAndDie(int signalNumber) {
    tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

int PlatformReadKey() {
    struct termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        return ReadByte(); // not a terminal
    }
    SavedTerminal = saved;
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    void (*previous[4])(int);
    for (int i = 0; i < 4; i++) {
        previous[i] = signal(signals[i], RestoreTerminalAndDie);
    }
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
    for (int i = 0; i < 4; i++) {
        signal(signals[i], previous[i]);
    }
    return key;
}
