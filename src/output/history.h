// The record of one run, for scripts and production lines: what was flashed
// into which frontend, when, and with what outcome. Filled in as the run
// goes; appended to a CSV file at its end when the operator asks for it.
#pragma once

#include <cstddef>
#include <cstdint>

enum { HISTORY_TEXT_SIZE = 256 };

struct RunRecord {
    bool wanted; // --history given: the image is hashed for the record
    char started[32];
    char transport;
    uint32_t waitTime;
    // The frontend, before the flash.
    char frontend[HISTORY_TEXT_SIZE];
    bool haveFrontend;
    bool haveInfo;
    int32_t serial;
    uint16_t hwVersion;
    uint16_t swVersion;
    // The image.
    bool haveImage;
    char imageSha256[65];
    uint16_t firmwareVer;
    uint16_t devId;
    uint32_t firmwareSize;
    uint32_t chunksSent;
    // How it ended.
    bool listOnly; // --list: nothing was to be flashed
    bool flashRan;
    int flashResult;
    bool confirmed;
    bool declined;
    bool flashed;
    uint16_t reportedVersion;
};

extern RunRecord Run;

// Local time, ISO 8601 with the UTC offset ("2026-12-07T12:00:00+01:00").
void LocalTimestamp(char text[32]);

// The outcome word of the record: flashed, declined, refused, failed,
// stopped or listed; fatal is a run that ended before a session was had.
const char* RunOutcome(bool fatal, bool stopped);

// The CSV record (RFC 4180, CRLF) of the run that ends with exitStatus.
// Returns its length, or 0 if it does not fit.
size_t FormatHistoryRecord(char* out, size_t capacity, bool fatal, bool stopped, int exitStatus);

extern const char* const HistoryHeader;

// Copies text as valid UTF-8: each byte that begins no UTF-8 character
// becomes U+FFFD, and the copy ends before a character that would not fit
// in capacity bytes with the NUL.
void CleanUtf8(char* out, size_t capacity, const char* text);
