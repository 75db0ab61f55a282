#include "output/history.h"

#include "output/log_line.h"
#include "output/record_text.h"
#include "output/text_builder.h"

#include <cstdio>
#include <cstring>
#include <ctime>

static const char HistoryHeader[] =
    "started,finished,transport,wait_ms,frontend,serial,hw_version,sw_version,image_sha256,"
    "firmware_ver,dev_id,firmware_size,chunks_sent,flash_result,outcome,reported_version,"
    "exit_status,message,log,host,tries,key,unit\r\n";
// So that a spreadsheet opened by a double click reads the file as UTF-8.
static const char ByteOrderMark[] = "\xEF\xBB\xBF";

Outcome RunOutcome(const RunRecord& run, bool fatal, bool stopped) {
    if (run.outcome != OUTCOME_NONE) {
        return run.outcome;
    }
    // Once the frontend reported success, a stop changes nothing.
    if (run.flash.flashed) {
        return run.verdict == RunRecord::VERIFIED     ? OUTCOME_VERIFIED
               : run.verdict == RunRecord::UNVERIFIED ? OUTCOME_UNVERIFIED
               : run.verdict == RunRecord::UNPROVEN   ? OUTCOME_UNPROVEN
                                                      : OUTCOME_FLASHED;
    }
    if (stopped) {
        return OUTCOME_STOPPED;
    }
    if (run.flash.alreadyCurrent) {
        return OUTCOME_CURRENT;
    }
    if (run.flash.declined) {
        return OUTCOME_DECLINED;
    }
    if (run.listOnly && !fatal) {
        return OUTCOME_LISTED;
    }
    // Nothing sent yet: the frontend or the image was not fit to be flashed.
    return fatal || run.flash.confirmed ? OUTCOME_FAILED : OUTCOME_REFUSED;
}

// A text from outside (the SDK): quoted when it holds a separator, a quote
// or a line break, and never taken for a formula by a spreadsheet (OWASP's
// list of leading characters).
static void Text(Builder* b, const char* text) {
    bool formula = text[0] != '\0' && strchr("=+-@\t\r", text[0]) != nullptr;
    bool quoted = strpbrk(text, ",\"\r\n") != nullptr;
    if (quoted) {
        Put(b, "\"", 1);
    }
    if (formula) {
        Put(b, "'", 1);
    }
    for (const char* c = text; *c; c++) {
        Put(b, c, 1);
        if (*c == '"') {
            Put(b, "\"", 1);
        }
    }
    if (quoted) {
        Put(b, "\"", 1);
    }
    Put(b, ",", 1);
}

void FillRecord(RecordValues* record, const RunRecord& run, bool fatal, bool stopped,
                int exitStatus) {
    record->run = &run;
    LocalTimestamp(record->finished);
    record->transport[0] = run.transport;
    record->transport[1] = '\0';
    if (run.station != nullptr) {
        snprintf(record->host, sizeof record->host, "%s", run.station);
    } else {
        PlatformComputerName(record->host, sizeof record->host);
    }
    int count = 0;
    auto text = [&](const char* name, bool present, const char* value, bool fromOutside) {
        record->columns[count++] = RecordColumn{name, present, value, false, fromOutside};
    };
    auto number = [&](const char* name, bool present, long long value) {
        snprintf(record->numbers[count], sizeof record->numbers[count], "%lld", value);
        record->columns[count] = RecordColumn{name, present, record->numbers[count], true, false};
        count++;
    };
    text("started", true, run.started, false);
    text("finished", true, record->finished, false);
    text("transport", true, record->transport, false);
    number("wait_ms", true, run.waitTime);
    text("frontend", run.haveFrontend, run.frontend, true);
    number("serial", run.flash.haveInfo, run.flash.serial);
    number("hw_version", run.flash.haveInfo, run.flash.hwVersion);
    number("sw_version", run.flash.haveInfo, run.flash.swVersion);
    text("image_sha256", run.flash.haveImage && run.flash.imageSha256[0] != '\0',
         run.flash.imageSha256, false);
    number("firmware_ver", run.flash.haveImage, run.flash.firmwareVer);
    number("dev_id", run.flash.haveImage, run.flash.devId);
    number("firmware_size", run.flash.haveImage, run.flash.firmwareSize);
    number("chunks_sent", true, run.flash.chunksSent);
    number("flash_result", run.flashRan, run.flashResult);
    text("outcome", true, Outcomes[RunOutcome(run, fatal, stopped)].name, false);
    number("reported_version", run.flash.flashed, run.flash.reportedVersion);
    number("exit_status", true, exitStatus);
    // Texts that may hold anything: each is quoted and kept from formulas.
    text("message", true, run.message != nullptr ? run.message : "", true);
    text("log", run.log != nullptr, run.log, true);
    text("host", true, record->host, true);
    number("tries", run.tries > 0, run.tries);
    text("key", run.flash.haveImage && run.flash.signedBy[0] != '\0', run.flash.signedBy, false);
    number("unit", run.unit > 0, run.unit);
}

size_t FormatHistoryRecord(char* out, size_t capacity, const RecordValues& record,
                           int columnCount) {
    Builder b = {out, capacity, 0, capacity > 0, false};
    if (b.fits) {
        out[0] = '\0';
    }
    for (int i = 0; i < columnCount; i++) {
        const RecordColumn& column = record.columns[i];
        const char* value = column.present ? column.value : "";
        if (column.fromOutside) {
            Text(&b, value);
        } else {
            Put(&b, value, strlen(value));
            Put(&b, ",", 1);
        }
    }
    // The line ends where the last column's separator went.
    if (b.fits && b.length > 0) {
        b.length--;
        Put(&b, "\r\n", 2);
    }
    return b.fits ? b.length : 0;
}

// How many columns the file's header (its first line, after a byte order
// mark) names: a file started by an earlier Kestrune keeps getting records
// of its own columns, so that every reader of it keeps working.
static int ColumnsOfHeader(const PlatformFoundFile& found) {
    size_t skip = found.headCount >= 3 && memcmp(found.head, ByteOrderMark, 3) == 0 ? 3 : 0;
    const char* line = found.head + skip;
    size_t length = 0;
    while (skip + length < found.headCount && line[length] != '\r' && line[length] != '\n') {
        length++;
    }
    auto endsWith = [&](const char* last) {
        size_t tail = strlen(last);
        return length >= tail && memcmp(line + length - tail, last, tail) == 0;
    };
    return endsWith(",message,log,host,tries,key,unit") ? RECORD_COLUMNS
           : endsWith(",message,log,host")              ? RECORD_COLUMNS_HOST
                                                        : RECORD_COLUMNS_OLDER;
}

static size_t ComposeRecord(const PlatformFoundFile& found, char* out, size_t capacity,
                            const void* context) {
    const RecordValues& record = *static_cast<const RecordValues*>(context);
    Builder b = {out, capacity, 0, capacity > 0, false};
    if (found.empty) {
        PutText(&b, ByteOrderMark);
        PutText(&b, HistoryHeader);
    } else if (!found.endsInLineFeed) {
        PutText(&b, "\r\n"); // a record always starts a line of its own
    }
    int columns = found.empty ? RECORD_COLUMNS : ColumnsOfHeader(found);
    size_t length =
        b.fits ? FormatHistoryRecord(out + b.length, capacity - b.length, record, columns) : 0;
    return length > 0 ? b.length + length : 0;
}

uint32_t AppendHistoryRecord(const char* path, const char* const* protectedPaths, RecordWait wait,
                             const RecordValues& record) {
    return PlatformAppendLocked(path, protectedPaths, wait, ComposeRecord, &record);
}

Recorded RecordInHistory(const char* path, const char* given, const char* const* protectedPaths,
                         RecordWait wait, const RecordValues& record, const char* tag) {
    uint32_t error = AppendHistoryRecord(path, protectedPaths, wait, record);
    if (error == PLATFORM_PROTECTED_FILE) {
        LogFormat(tag, "Can not write history file [%s], it is the firmware file or the log file",
                  given);
    } else if (error != 0) {
        LogFormat(tag, "Can not write history file [%s], error %d", given, (int)error);
    }
    return error == 0 ? RECORD_WRITTEN : RECORD_NOT_WRITTEN;
}
