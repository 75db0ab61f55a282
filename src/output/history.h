// The record of one run, for scripts and production lines: what was flashed
// into which frontend, when, and with what outcome. Filled in as the run
// goes; appended to a CSV file at its end when the operator asks for it.
#pragma once

#include <cstddef>
#include <cstdint>

enum { HISTORY_TEXT_SIZE = 256 };

struct RunRecord {
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
    bool alreadyCurrent; // --skip-current found the image's version running
    bool flashed;
    uint16_t reportedVersion;
    // --verify: what the frontend ran after its reboot.
    enum { NOT_VERIFIED, VERIFIED, UNVERIFIED } verdict; // NOT_VERIFIED: no verdict
    const char* chosenImage; // of several images, the one chosen (null with one)
    bool verifyAsked;
    bool haveVerifiedVersion;
    uint16_t verifiedVersion;
};

extern RunRecord Run;

// Local time, ISO 8601 with the UTC offset ("2026-12-07T12:00:00+01:00").
void LocalTimestamp(char text[32]);

// The outcome word of the record: flashed, verified, unverified, current,
// declined, refused, failed, stopped or listed; fatal is a run that ended before a session was had.
const char* RunOutcome(bool fatal, bool stopped);

// One column of the record: its name, and its value as text (a number in
// decimal). A value never read is not present: empty in the CSV.
struct RecordColumn {
    const char* name;
    bool present;
    const char* value;
    bool isNumber;
    bool fromOutside; // a text from the SDK
};

enum { RECORD_COLUMNS = 17 };

struct RecordValues {
    RecordColumn columns[RECORD_COLUMNS]; // in the order of HistoryHeader
    char numbers[RECORD_COLUMNS][24];
    char finished[32];
    char transport[2];
};

// The columns of the record of the run that ends with exitStatus.
void FillRecord(RecordValues* record, bool fatal, bool stopped, int exitStatus);

// The CSV record (RFC 4180, CRLF) of the run FillRecord described.
// Returns its length, or 0 if it does not fit.
size_t FormatHistoryRecord(char* out, size_t capacity, const RecordValues& record);

extern const char* const HistoryHeader;

// Copies text as valid UTF-8: each byte that begins no UTF-8 character
// becomes U+FFFD, and the copy ends before a character that would not fit
// in capacity bytes with the NUL.
void CleanUtf8(char* out, size_t capacity, const char* text);
