// Every message goes to the console and, tagged, to the log file.
#pragma once

#include <cstddef>

enum { MESSAGE_BUFFER_SIZE = 1024 };

extern const char* const DefaultLogFileName;

// The log file, the files it must never be (the images, say; null-ended),
// and what to do when it cannot be opened, right before the process ends
// with status 1 (given the failure): given before the first line.
void LogOpenAs(const char* path, const char* const* protectedPaths,
               void (*unavailable)(const char* failure));

// Where formatted messages are built before they are logged.
extern char MessageBuffer[MESSAGE_BUFFER_SIZE];

// Writes the message to the console and "tag, message" to the log file,
// opening the log on first use. Exits with status 1 if it cannot be opened.
void LogLine(const char* tag, const char* message);

// Formats into MessageBuffer, cut at 1023 characters, and logs it.
void LogFormat(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Logs like LogFormat a message that says why the run did not flash, and
// gives it back (without the blank lines that set it apart) for the caller
// to pass on to the record; the text stays until the next failure.
[[nodiscard]] const char* LogFailure(const char* tag, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
[[nodiscard]] const char* LogFailureLine(const char* tag, const char* message);
// Logs text, a further line of the failure just logged, and gives back the
// failure with it.
[[nodiscard]] const char* LogFailureDetail(const char* tag, const char* text);

// Appends "tag, message" to the log at once, past any buffer, when the log
// is open: the last line of a process that ends this moment. Safe in a
// signal handler; message holds no line feed.
void LogLineAtOnce(const char* tag, const char* message);

// What runs before each message reaches the console (null: nothing): a
// station clears the lines it draws, so that a message takes their place.
void LogBeforeConsole(void (*hook)());

// Closes the log file; the last act of a run.
void CloseLog();
