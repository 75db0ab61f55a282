#include "platform/console_backlog.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/threads.h"

bool ConsoleBacklogAdd(ConsoleBacklog* backlog, const char* bytes, size_t count, bool redraw) {
    // A redraw starts with a carriage return; a piece without one (the
    // wait display's cursor) belongs to the redraw before it.
    bool fromLineStart = backlog->redrawsStandAlone || (count > 0 && bytes[0] == '\r');
    bool extendsRedraw = redraw && backlog->endsInRedraw && !fromLineStart;
    size_t keep = backlog->count;
    if (redraw && fromLineStart && backlog->endsInRedraw &&
        backlog->count >= CONSOLE_BACKLOG_BEHIND) {
        keep = backlog->redrawAt; // the newer redraw says all the older one did
    }
    if (keep + count > backlog->capacity) {
        size_t capacity = backlog->capacity > 0 ? backlog->capacity : 256;
        while (capacity < keep + count) {
            capacity *= 2;
        }
        char* grown = static_cast<char*>(realloc(backlog->bytes, capacity));
        if (grown == nullptr) {
            return false;
        }
        backlog->bytes = grown;
        backlog->capacity = capacity;
    }
    if (count > 0) { // an empty backlog may have no bytes yet
        memcpy(backlog->bytes + keep, bytes, count);
    }
    backlog->redrawAt = redraw && !extendsRedraw ? keep : backlog->redrawAt;
    backlog->endsInRedraw = redraw;
    backlog->count = keep + count;
    return true;
}

void ConsoleBacklogTake(ConsoleBacklog* backlog, ConsoleBacklog* into) {
    ConsoleBacklog taken = *backlog;
    *backlog = *into;
    *into = taken;
    backlog->count = 0;
    backlog->endsInRedraw = false;
}

struct ConsoleWriter {
    void (*write)(const char* bytes, size_t count);
    ThreadLock* lock;
    ThreadCondition* added;
    ThreadCondition* allWritten;
    ConsoleBacklog backlog, writing;
    bool busy;   // the thread has bytes in hand
    bool ending; // the process is ending: write what is left, then end
    // A write in progress, and when it began: a reader that takes nothing
    // holds it there.
    bool inWrite;
    uint64_t writeBegan;
    Thread* thread;
    enum { NOT_STARTED, RUNS, FAILED } state;
};

// A writer that has not started; its thread starts with the first bytes.
static ConsoleWriter WriterFor(void (*write)(const char* bytes, size_t count),
                               bool redrawsStandAlone) {
    ConsoleWriter writer = {};
    writer.write = write;
    writer.backlog.redrawsStandAlone = writer.writing.redrawsStandAlone = redrawsStandAlone;
    return writer;
}

// Each redraw of the JSON is a line of its own.
static ConsoleWriter Console = WriterFor(ConsoleWriteNow, false);
static ConsoleWriter Json = WriterFor(JsonWriteNow, true);
static ConsoleWriter Publisher = WriterFor(PublishWriteNow, true);

// How long the end of the process waits for a reader that takes nothing.
enum { READER_GRACE_MS = 5000, WRITE_PIECE_MAX = 4096, WAIT_STEP_MS = 100 };

// The length of the next piece to write: whole lines of at most
// WRITE_PIECE_MAX bytes where there are such, so that a pipe takes each
// whole or not at all (a longer line goes alone).
static size_t NextPiece(const char* bytes, size_t count) {
    size_t wholeLines = 0;
    for (size_t i = 0; i < count && i < WRITE_PIECE_MAX; i++) {
        wholeLines = bytes[i] == '\n' ? i + 1 : wholeLines;
    }
    if (wholeLines > 0 || count <= WRITE_PIECE_MAX) {
        return wholeLines > 0 ? wholeLines : count;
    }
    const char* lineEnd = static_cast<const char*>(memchr(bytes, '\n', count));
    return lineEnd != nullptr ? (size_t)(lineEnd - bytes) + 1 : count;
}

// Writes what was taken in pieces, noting when each write began.
static void WriteTaken(ConsoleWriter* w) {
    for (size_t done = 0; done < w->writing.count;) {
        size_t piece = NextPiece(w->writing.bytes + done, w->writing.count - done);
        ThreadLockTake(w->lock);
        w->inWrite = true;
        w->writeBegan = PlatformKernelMilliseconds();
        ThreadLockGive(w->lock);
        w->write(w->writing.bytes + done, piece);
        done += piece;
    }
    ThreadLockTake(w->lock);
    w->inWrite = false;
    ThreadLockGive(w->lock);
}

static void WriteAway(void* context) {
    ConsoleWriter* w = static_cast<ConsoleWriter*>(context);
    ThreadLockTake(w->lock);
    for (;;) {
        while (w->backlog.count == 0) {
            w->busy = false;
            ThreadConditionWake(w->allWritten);
            if (w->ending) {
                ThreadLockGive(w->lock);
                return;
            }
            ThreadConditionWait(w->added, w->lock, THREAD_WAIT_FOREVER);
        }
        w->busy = true;
        ConsoleBacklogTake(&w->backlog, &w->writing);
        ThreadLockGive(w->lock);
        WriteTaken(w);
        ThreadLockTake(w->lock);
    }
}

static bool StartWriter(ConsoleWriter* w) {
    if (w->state == ConsoleWriter::NOT_STARTED) {
        w->lock = ThreadLockNew();
        w->added = ThreadConditionNew();
        w->allWritten = ThreadConditionNew();
        bool ready = w->lock != nullptr && w->added != nullptr && w->allWritten != nullptr;
        w->thread = ready ? ThreadStart(WriteAway, w) : nullptr;
        w->state = w->thread != nullptr ? ConsoleWriter::RUNS : ConsoleWriter::FAILED;
    }
    return w->state == ConsoleWriter::RUNS;
}

// Waits until everything queued is written: as long as it takes, or
// (graceMs) until one write has stood still that long, its reader taking
// nothing, or a stop comes meanwhile. A writer that is only slow, or not
// yet given the processor, is waited for. True when all is written.
static bool WaitWritten(ConsoleWriter* w, uint32_t graceMs) {
    if (w->state != ConsoleWriter::RUNS) {
        return true;
    }
    bool stoppedBefore = PlatformStopRequested();
    ThreadLockTake(w->lock);
    while (w->backlog.count > 0 || w->busy) {
        if (graceMs == THREAD_WAIT_FOREVER) {
            ThreadConditionWait(w->allWritten, w->lock, THREAD_WAIT_FOREVER);
            continue;
        }
        bool stuck = w->inWrite && PlatformKernelMilliseconds() >= w->writeBegan + graceMs;
        if (stuck || PlatformStopRequested() != stoppedBefore) {
            break;
        }
        ThreadConditionWait(w->allWritten, w->lock, WAIT_STEP_MS);
    }
    bool written = w->backlog.count == 0 && !w->busy;
    ThreadLockGive(w->lock);
    return written;
}

// Queues the bytes (see ConsoleBacklogAdd). Where no thread can run, or
// memory ran out, they are written at once, after everything before them.
static void Queue(ConsoleWriter* w, const char* bytes, size_t count, bool redraw) {
    if (StartWriter(w)) {
        ThreadLockTake(w->lock);
        bool added = ConsoleBacklogAdd(&w->backlog, bytes, count, redraw);
        ThreadConditionWake(w->added);
        ThreadLockGive(w->lock);
        if (added) {
            return;
        }
        WaitWritten(w, THREAD_WAIT_FOREVER); // out of memory: the old way, in order
    }
    w->write(bytes, count);
}

static bool EndWriter(ConsoleWriter* w, uint32_t ms) {
    if (w->state != ConsoleWriter::RUNS || !WaitWritten(w, ms)) {
        return w->state != ConsoleWriter::RUNS;
    }
    ThreadLockTake(w->lock);
    w->ending = true;
    ThreadConditionWake(w->added);
    ThreadLockGive(w->lock);
    ThreadJoin(w->thread);
    w->thread = nullptr;
    w->state = ConsoleWriter::FAILED; // anything queued later goes straight out
    return true;
}

void ConsoleEndWriters() {
    EndWriter(&Publisher, READER_GRACE_MS);
    EndWriter(&Json, READER_GRACE_MS);
    EndWriter(&Console, READER_GRACE_MS);
}

void PlatformConsoleWrite(const char* bytes, size_t count) {
    Queue(&Console, bytes, count, false);
}

void PlatformConsoleRedraw(const char* bytes, size_t count) {
    Queue(&Console, bytes, count, true);
}

void PlatformConsoleFlush() {
    WaitWritten(&Console, THREAD_WAIT_FOREVER);
}

void PlatformStandardOutputWrite(const char* bytes, size_t count, bool replaceable) {
    Queue(&Json, bytes, count, replaceable);
}

void PlatformPublishWrite(const char* bytes, size_t count, bool replaceable) {
    Queue(&Publisher, bytes, count, replaceable);
}

bool ConsoleEndPublishWriter(uint32_t graceMs) {
    return EndWriter(&Publisher, graceMs);
}

void PlatformStandardOutputFlush() {
    WaitWritten(&Json, THREAD_WAIT_FOREVER);
}
