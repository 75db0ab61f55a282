#include "output/log_line.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

char MessageBuffer[MESSAGE_BUFFER_SIZE];

const char* const DefaultLogFileName = "kovi_kestrune.log";

static const char* LogFileName = DefaultLogFileName;
static const char* const* LogProtectedPaths;
static void (*LogUnavailable)(const char* failure);
static void (*BeforeConsole)();

void LogBeforeConsole(void (*hook)()) {
    BeforeConsole = hook;
}
static char LastFailure[MESSAGE_BUFFER_SIZE];

static FILE* LogStream;
static int LogDescriptor = -1; // the stream's, for a line written from a signal handler

void LogOpenAs(const char* path, const char* const* protectedPaths,
               void (*unavailable)(const char* failure)) {
    LogFileName = path;
    LogProtectedPaths = protectedPaths;
    LogUnavailable = unavailable;
}

// The log has the same bytes on every platform: it is written in binary and
// every line feed is stored as CR LF, as a Windows text stream stores it.
static void WriteLogText(const char* text) {
    for (;;) {
        const char* lineFeed = strchr(text, '\n');
        size_t length = lineFeed ? (size_t)(lineFeed - text) : strlen(text);
        fwrite(text, 1, length, LogStream);
        if (!lineFeed) {
            return;
        }
        fwrite("\r\n", 1, 2, LogStream);
        text = lineFeed + 1;
    }
}

void LogLine(const char* tag, const char* message) {
    if (LogStream == nullptr) {
        static const char* const none[] = {nullptr};
        LogStream = PlatformOpenLogFile(LogFileName,
                                        LogProtectedPaths != nullptr ? LogProtectedPaths : none);
        if (LogStream == nullptr) {
            static const char failure[] = "Can not open log file, exit!";
            PlatformConsoleWrite(failure, sizeof failure - 1);
            snprintf(LastFailure, sizeof LastFailure, "%s", failure);
            if (LogUnavailable != nullptr) {
                LogUnavailable(LastFailure);
            }
            exit(1);
        }
    }
    LogDescriptor = fileno(LogStream);
    if (BeforeConsole != nullptr) {
        BeforeConsole();
    }
    PlatformConsoleWrite(message, strlen(message));
    PlatformConsoleWrite("\r\n", 2);

    WriteLogText(tag);
    WriteLogText(", ");
    WriteLogText(message);
    WriteLogText("\r\n");
    fflush(LogStream);
}

// Formats into MessageBuffer, cut at 1023 bytes, at whole characters.
static const char* FormatIntoBuffer(const char* format, va_list arguments) {
    int length = vsnprintf(MessageBuffer, sizeof MessageBuffer, format, arguments);
    if (length >= (int)sizeof MessageBuffer) {
        MessageBuffer[PlatformWholeCharacters(MessageBuffer, sizeof MessageBuffer - 1)] = '\0';
    }
    return MessageBuffer;
}

void LogFormat(const char* tag, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LogLine(tag, FormatIntoBuffer(format, arguments));
    va_end(arguments);
}

// Blank lines that set a message apart are no part of it.
static const char* NoteFailure(const char* message, bool detail) {
    while (*message == '\n') {
        message++;
    }
    size_t used = detail ? strlen(LastFailure) : 0;
    snprintf(LastFailure + used, sizeof LastFailure - used, "%s%s", used > 0 ? " " : "", message);
    return LastFailure;
}

const char* LogFailureLine(const char* tag, const char* message) {
    LogLine(tag, message);
    return NoteFailure(message, false);
}

const char* LogFailure(const char* tag, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const char* failure = LogFailureLine(tag, FormatIntoBuffer(format, arguments));
    va_end(arguments);
    return failure;
}

const char* LogFailureDetail(const char* tag, const char* text) {
    LogLine(tag, text);
    return NoteFailure(text, true);
}

void LogLineAtOnce(const char* tag, const char* message) {
    static char line[MESSAGE_BUFFER_SIZE];
    size_t length = 0;
    const char* const parts[] = {tag, ", ", message, "\r\r\n"};
    for (const char* part : parts) {
        for (; *part != '\0' && length < sizeof line; part++) {
            line[length++] = *part;
        }
    }
    if (LogDescriptor >= 0) {
        PlatformWriteAtOnce(LogDescriptor, line, length);
    }
}

void CloseLog() {
    LogDescriptor = -1;
    if (LogStream != nullptr) {
        fclose(LogStream);
        LogStream = nullptr;
    }
}
