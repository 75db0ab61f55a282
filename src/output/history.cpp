#include "output/history.h"

#include "output/text_builder.h"

#include <cstdio>
#include <cstring>
#include <ctime>

RunRecord Run;

const char* const HistoryHeader =
    "started,finished,transport,wait_ms,frontend,serial,hw_version,sw_version,image_sha256,"
    "firmware_ver,dev_id,firmware_size,chunks_sent,flash_result,outcome,reported_version,"
    "exit_status\r\n";

void LocalTimestamp(char text[32]) {
    time_t now = time(nullptr);
    struct tm local = *localtime(&now);
    struct tm utc = *gmtime(&now);
    // The offset from the two broken-down times: they are at most a day apart.
    int days = local.tm_year != utc.tm_year ? (local.tm_year > utc.tm_year ? 1 : -1)
                                            : local.tm_yday - utc.tm_yday;
    long offset =
        days * 86400L + (local.tm_hour - utc.tm_hour) * 3600L + (local.tm_min - utc.tm_min) * 60L;
    char sign = offset < 0 ? '-' : '+';
    int minutes = (int)((offset < 0 ? -offset : offset) / 60 % 1440);
    size_t length = strftime(text, 32, "%Y-%m-%dT%H:%M:%S", &local);
    snprintf(text + length, 32 - length, "%c%02d:%02d", sign, minutes / 60 % 24, minutes % 60);
}

const char* RunOutcome(bool fatal, bool stopped) {
    // Once the frontend reported success, a stop changes nothing.
    if (Run.flashed) {
        return Run.verdict == RunRecord::VERIFIED     ? "verified"
               : Run.verdict == RunRecord::UNVERIFIED ? "unverified"
                                                      : "flashed";
    }
    if (stopped) {
        return "stopped";
    }
    if (Run.alreadyCurrent) {
        return "current";
    }
    if (Run.declined) {
        return "declined";
    }
    if (Run.listOnly && !fatal) {
        return "listed";
    }
    // Nothing sent yet: the frontend or the image was not fit to be flashed.
    return fatal || Run.confirmed ? "failed" : "refused";
}

static void Field(Builder* b, const char* text, bool last = false) {
    Put(b, text, strlen(text));
    Put(b, last ? "\r\n" : ",", last ? 2 : 1);
}

// The length of the UTF-8 character at text, or 0 when the bytes there are
// no UTF-8 (a stray continuation byte, an overlong form, a surrogate, beyond
// U+10FFFF, or cut short).
static size_t Utf8Length(const unsigned char* text) {
    unsigned char lead = text[0];
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    // The second byte's range where the lead byte narrows it.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (size_t i = 1; i < length; i++) {
        unsigned char c = text[i];
        if (i == 1 ? c < low || c > high : (c & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

void CleanUtf8(char* out, size_t capacity, const char* text) {
    static const char replacement[] = "\xEF\xBF\xBD"; // U+FFFD
    size_t used = 0;
    const unsigned char* c = reinterpret_cast<const unsigned char*>(text);
    while (*c != '\0') {
        size_t length = Utf8Length(c);
        const char* bytes = length > 0 ? reinterpret_cast<const char*>(c) : replacement;
        size_t count = length > 0 ? length : sizeof replacement - 1;
        if (count >= capacity - used) {
            break; // only whole characters
        }
        memcpy(out + used, bytes, count);
        used += count;
        c += length > 0 ? length : 1;
    }
    out[used] = '\0';
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

void FillRecord(RecordValues* record, bool fatal, bool stopped, int exitStatus) {
    LocalTimestamp(record->finished);
    record->transport[0] = Run.transport;
    record->transport[1] = '\0';
    int count = 0;
    auto text = [&](const char* name, bool present, const char* value, bool fromOutside) {
        record->columns[count++] = RecordColumn{name, present, value, false, fromOutside};
    };
    auto number = [&](const char* name, bool present, long long value) {
        snprintf(record->numbers[count], sizeof record->numbers[count], "%lld", value);
        record->columns[count] = RecordColumn{name, present, record->numbers[count], true, false};
        count++;
    };
    text("started", true, Run.started, false);
    text("finished", true, record->finished, false);
    text("transport", true, record->transport, false);
    number("wait_ms", true, Run.waitTime);
    text("frontend", Run.haveFrontend, Run.frontend, true);
    number("serial", Run.haveInfo, Run.serial);
    number("hw_version", Run.haveInfo, Run.hwVersion);
    number("sw_version", Run.haveInfo, Run.swVersion);
    text("image_sha256", Run.haveImage && Run.imageSha256[0] != '\0', Run.imageSha256, false);
    number("firmware_ver", Run.haveImage, Run.firmwareVer);
    number("dev_id", Run.haveImage, Run.devId);
    number("firmware_size", Run.haveImage, Run.firmwareSize);
    number("chunks_sent", true, Run.chunksSent);
    number("flash_result", Run.flashRan, Run.flashResult);
    text("outcome", true, RunOutcome(fatal, stopped), false);
    number("reported_version", Run.flashed, Run.reportedVersion);
    number("exit_status", true, exitStatus);
}

size_t FormatHistoryRecord(char* out, size_t capacity, const RecordValues& record) {
    Builder b = {out, capacity, 0, capacity > 0};
    if (b.fits) {
        out[0] = '\0';
    }
    for (const RecordColumn& column : record.columns) {
        const char* value = column.present ? column.value : "";
        if (column.fromOutside) {
            Text(&b, value);
        } else {
            Field(&b, value, &column == &record.columns[RECORD_COLUMNS - 1]);
        }
    }
    return b.fits ? b.length : 0;
}
