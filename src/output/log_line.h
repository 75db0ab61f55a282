// Every message goes to the console and, tagged, to the log file.
#pragma once

#include <cstddef>

enum { MESSAGE_BUFFER_SIZE = 1024 };

// The log file, and the files it must never be (the image): set before the
// first line.
extern const char* LogFileName;
extern const char* const* LogProtectedPaths;
// Called when the log cannot be opened, right before the process ends with
// status 1.
extern void (*LogUnavailable)();

// The last failure logged, for those that report the run's outcome.
extern char LastFailure[MESSAGE_BUFFER_SIZE];

// Where formatted messages are built before they are logged.
extern char MessageBuffer[MESSAGE_BUFFER_SIZE];

// Writes the message to the console and "tag, message" to the log file,
// opening the log on first use. Exits with status 1 if it cannot be opened.
void LogLine(const char* tag, const char* message);

// Formats into MessageBuffer, cut at 1023 characters, and logs it.
void LogFormat(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Logs like LogFormat a message that says why the run did not flash, and
// notes it as the last failure.
void LogFailure(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogFailureLine(const char* tag, const char* message);
// Logs text, a further line of the failure just logged, and adds it to the
// note.
void LogFailureDetail(const char* tag, const char* text);

// Appends "tag, message" to the log at once, past any buffer, when the log
// is open: the last line of a process that ends this moment. Safe in a
// signal handler; message holds no line feed.
void LogLineAtOnce(const char* tag, const char* message);

// Closes the log file; the last act of a run.
void CloseLog();
