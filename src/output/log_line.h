// Every message goes to the console and, tagged, to the log file.
#pragma once

#include <cstddef>

enum { MESSAGE_BUFFER_SIZE = 1024 };

extern const char* const LogFileName;
// The files the log must never be (the image): set before the first line.
extern const char* const* LogProtectedPaths;

// Where formatted messages are built before they are logged.
extern char MessageBuffer[MESSAGE_BUFFER_SIZE];

// Writes the message to the console and "tag, message" to the log file,
// opening the log on first use. Exits with status 1 if it cannot be opened.
void LogLine(const char* tag, const char* message);

// Formats into MessageBuffer, cut at 1023 characters, and logs it.
void LogFormat(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Closes the log file; the last act of a run.
void CloseLog();
