// The history: one CSV record a run, appended at its end when the operator
// asks for it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output/record_text.h"
#include "output/run_record.h"
#include "platform/platform.h"

// The outcome word of the record: flashed, verified, unverified, current,
// declined, refused, failed, stopped or listed; fatal is a run that ended
// before a session was had.
Outcome RunOutcome(const RunRecord& run, bool fatal, bool stopped);

// One column of the record: its name, and its value as text (a number in
// decimal). A value never read is not present: empty in the CSV.
struct RecordColumn {
    const char* name;
    bool present;
    const char* value;
    bool isNumber;
    bool fromOutside; // a text from the SDK
};

// A history file started before message, log and host were recorded keeps
// getting records of the columns its header names.
// A history's columns: every one, those of a file started before tries,
// key and unit, and those of one started before message, log and host.
enum { RECORD_COLUMNS = 23, RECORD_COLUMNS_HOST = 20, RECORD_COLUMNS_OLDER = 17 };

struct RecordValues {
    const RunRecord* run;                 // the run they describe
    RecordColumn columns[RECORD_COLUMNS]; // in the order of the history's header
    char numbers[RECORD_COLUMNS][24];
    char finished[32];
    char transport[2];
    char host[256];
};

// The columns of the record of the run that ends with exitStatus.
void FillRecord(RecordValues* record, const RunRecord& run, bool fatal, bool stopped,
                int exitStatus);

// The CSV record (RFC 4180, CRLF) of the run FillRecord described, in its
// first columnCount columns. Returns its length, or 0 if it does not fit.
size_t FormatHistoryRecord(char* out, size_t capacity, const RecordValues& record, int columnCount);

// Whether a run's record went to its history.
enum Recorded { RECORD_NOT_ASKED, RECORD_WRITTEN, RECORD_NOT_WRITTEN };

// Appends the record to the history file at path (given: as the operator
// named it), logging under tag why it could not be.
Recorded RecordInHistory(const char* path, const char* given, const char* const* protectedPaths,
                         RecordWait wait, const RecordValues& record, const char* tag);

// Appends the record to the history file at path: a new file starts with
// the UTF-8 byte order mark and the header, and a record always starts a
// line of its own. Returns 0 or the system's error code
// (PLATFORM_PROTECTED_FILE where path is one of protectedPaths).
uint32_t AppendHistoryRecord(const char* path, const char* const* protectedPaths, RecordWait wait,
                             const RecordValues& record);
