// What the console's writer thread has still to write. The flashing thread
// adds to it and never waits for the console: a console that stands still
// (a selection in the window, the Pause key, Ctrl-S, a reader that stopped
// reading) would otherwise hold the flash with it.
#pragma once

#include <cstddef>
#include <cstdint>

// Past this much waiting, the console has fallen behind: a redraw then
// replaces one that is still waiting at the end instead of following it.
enum { CONSOLE_BACKLOG_BEHIND = 4096 };

struct ConsoleBacklog {
    char* bytes;
    size_t count;
    size_t capacity;
    size_t redrawAt;   // where the redraw at the end starts
    bool endsInRedraw; // nothing but a redraw was added after redrawAt
    // Each redraw stands alone (a whole line of JSON), rather than starting
    // at a carriage return and taking what follows it.
    bool redrawsStandAlone;
};

// Adds bytes in order. A redraw (a bar or a display drawn anew from a
// carriage return, with what is added to it up to the next one) may be
// dropped for a later one once the console has fallen behind; anything else
// is kept whatever it takes. False when memory ran out: nothing was added.
bool ConsoleBacklogAdd(ConsoleBacklog* backlog, const char* bytes, size_t count, bool redraw);

// Hands everything waiting over to the writer (into, which was empty) and
// leaves the backlog empty.
void ConsoleBacklogTake(ConsoleBacklog* backlog, ConsoleBacklog* into);

// The console and the JSON on standard output are each written by a thread
// of their own, which writes what the flashing thread queues in order (see
// PlatformConsoleWrite and PlatformStandardOutputWrite). Each system gives
// the writes themselves: at once, whatever the bytes, errors changing
// nothing.
void ConsoleWriteNow(const char* bytes, size_t count);
void JsonWriteNow(const char* bytes, size_t count);
void PublishWriteNow(const char* bytes, size_t count);

// --publish: what is queued for the command written, while its reader
// takes it, for at most graceMs of a write standing still; the writer's
// thread ended. True when all is written.
bool ConsoleEndPublishWriter(uint32_t graceMs);

// At the end of the process: what is queued is written as long as its
// reader takes it; a reader of the console or the JSON that takes nothing
// for a few seconds (a terminal stopped with Ctrl-S, a program that stopped
// reading), or a stop meanwhile, ends the wait, and the process ends without
// it (the log and the record are written already). Both are written in
// whole lines where a line fits a pipe's atomic write. Anything said later
// is written at once.
void ConsoleEndWriters();
