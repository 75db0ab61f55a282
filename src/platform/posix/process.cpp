// Process set-up and the operator's stop on POSIX systems.
#include "platform/platform.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "platform/console_backlog.h"
#include "platform/posix/posix_platform.h"

const int PlatformStoppedExitStatus = 130;

static volatile sig_atomic_t Stop;
static volatile sig_atomic_t SecondHeld;    // a station that has not passed the first on yet
static volatile sig_atomic_t SecondPending; // the signal of a second stop that waits for it
static volatile sig_atomic_t Worker;        // a station's worker: it stops once

static const int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};
static void (*LastWords)(bool inSignalHandler);

void PlatformOnSecondStop(void (*lastWords)(bool inSignalHandler)) {
    LastWords = lastWords;
}

// After the last words, the signal's own default action. Outside a signal
// handler what is queued for the console and the JSON goes out first, as
// far as their readers take it within their grace.
static void EndAtOnce(int signalNumber, bool inSignalHandler) {
    if (LastWords != nullptr) {
        LastWords(inSignalHandler);
    }
    if (!inSignalHandler) {
        ConsoleEndWriters();
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// The first stop is noted; a second one of any kind ends the process at
// once (a station's is noted for it to end sooner, a third ends it at once;
// a worker's never). No SA_RESTART: a pause or a key read in progress wakes
// up.
static void NoteStop(int signalNumber) {
    if (Stop == 0) {
        Stop = 1;
    } else if (Worker != 0) {
        return;
    } else if (SecondHeld != 0 && SecondPending == 0) {
        SecondPending = signalNumber;
    } else {
        EndAtOnce(signalNumber, true);
    }
}

void PlatformHoldSecondStop() {
    SecondHeld = 1;
}

bool PlatformSecondStopHeld() {
    return SecondPending != 0;
}

void PlatformEndForSecondStop() {
    EndAtOnce(SecondPending, false);
}

// The station gone, the kernel sends the stop (see PlatformStartWorker).
void PlatformServeStation() {
    Worker = 1;
}

void PlatformRetakeStop() {
    struct sigaction action = {};
    action.sa_handler = NoteStop;
    sigemptyset(&action.sa_mask);
    for (int stopSignal : StopSignals) {
        sigaddset(&action.sa_mask, stopSignal); // one handler at a time
    }
    for (int stopSignal : StopSignals) {
        sigaction(stopSignal, &action, nullptr);
    }
}

void PlatformInit() {
    atexit(ConsoleEndWriters);
    // Started with a standard descriptor closed, the log or the firmware
    // image would take its number and console messages would be written
    // into the file. Keep 0, 1 and 2 taken.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) < 0) {
            int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
    // A console reader that goes away is one more console error, not the
    // end of the flash.
    signal(SIGPIPE, SIG_IGN);
    // A history past the file size limit is one more write error, not the
    // end of the run after a flash.
    signal(SIGXFSZ, SIG_IGN);
    // The operator may stop the run at any moment, not only the flash.
    PlatformRetakeStop();
#ifdef __linux__
    // The default timer slack of 50 us lets every pause run long; over
    // thousands of chunks that adds up to more than the operator asked for.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // A station's worker stops in order when the station is gone (killed,
    // or ended at once), as it would on the operator's stop; a station gone
    // before this line shows as a parent other than the one that started it.
    const char* station = getenv(STATION_PID_VARIABLE);
    if (station != nullptr) {
        prctl(PR_SET_PDEATHSIG, SIGINT);
        if (getppid() != (pid_t)strtol(station, nullptr, 10)) {
            raise(SIGINT);
        }
    }
#endif
}

bool PlatformStopRequested() {
    return Stop != 0;
}

void PlatformArguments(int*, char***) {}

const char* PlatformFileArgument(int, char** argv, int index) {
    return argv[index];
}
