#include "output/history.h"

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
        return "flashed";
    }
    if (stopped) {
        return "stopped";
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

// Appends text to the record; false once it no longer fits.
struct Builder {
    char* out;
    size_t capacity;
    size_t length;
    bool fits;
};

static void Put(Builder* b, const char* text, size_t count) {
    if (!b->fits || count >= b->capacity - b->length) {
        b->fits = false;
        return;
    }
    memcpy(b->out + b->length, text, count);
    b->length += count;
    b->out[b->length] = '\0';
}

static void Field(Builder* b, const char* text, bool last = false) {
    Put(b, text, strlen(text));
    Put(b, last ? "\r\n" : ",", last ? 2 : 1);
}

static void Number(Builder* b, bool present, long long value) {
    char text[24] = "";
    if (present) {
        snprintf(text, sizeof text, "%lld", value);
    }
    Field(b, text);
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

size_t FormatHistoryRecord(char* out, size_t capacity, bool fatal, bool stopped, int exitStatus) {
    Builder b = {out, capacity, 0, capacity > 0};
    if (b.fits) {
        out[0] = '\0';
    }
    char finished[32];
    LocalTimestamp(finished);
    char transport[2] = {Run.transport, '\0'};
    Field(&b, Run.started);
    Field(&b, finished);
    Field(&b, transport);
    Number(&b, true, Run.waitTime);
    Text(&b, Run.haveFrontend ? Run.frontend : "");
    Number(&b, Run.haveInfo, Run.serial);
    Number(&b, Run.haveInfo, Run.hwVersion);
    Number(&b, Run.haveInfo, Run.swVersion);
    Field(&b, Run.haveImage ? Run.imageSha256 : "");
    Number(&b, Run.haveImage, Run.firmwareVer);
    Number(&b, Run.haveImage, Run.devId);
    Number(&b, Run.haveImage, Run.firmwareSize);
    Number(&b, true, Run.chunksSent);
    Number(&b, Run.flashRan, Run.flashResult);
    Field(&b, RunOutcome(fatal, stopped));
    Number(&b, Run.flashed, Run.reportedVersion);
    char status[24];
    snprintf(status, sizeof status, "%d", exitStatus);
    Field(&b, status, true);
    return b.fits ? b.length : 0;
}
