#include "output/json.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/history.h"
#include "output/json_line.h"
#include "output/record_text.h"
#include "output/text_builder.h"
#include "platform/platform.h"

static bool JsonEnabled, ToStandardOutput, ToPublisher;
static char StationName[4 * 256]; // UTF-8; empty for none

void JsonEnable(bool standardOutput, bool publish, const char* station) {
    ToStandardOutput = standardOutput;
    ToPublisher = publish;
    JsonEnabled = standardOutput || publish;
    StationName[0] = '\0';
    if (station != nullptr) {
        PlatformNarrowTextToUtf8(station, StationName, sizeof StationName);
    }
}

static void StationKey(JsonLine* line) {
    if (StationName[0] != '\0') {
        LineString(line, "station", StationName);
    }
}

bool JsonOn() {
    return JsonEnabled;
}

void LineAbout(JsonLine* line, const JsonUnit& unit) {
    LineString(line, "frontend", unit.frontend);
    if (unit.number > 0) {
        LineNumber(line, "unit", unit.number);
    }
    StationKey(line);
}

void LineBegin(JsonLine* line, const char* event, const JsonUnit* unit) {
    line->b = Builder{nullptr, 0, 0, true, true};
    PutText(&line->b, "{\"event\":\"");
    PutText(&line->b, event);
    PutText(&line->b, "\"");
    if (unit != nullptr) {
        LineAbout(line, *unit);
    } else {
        StationKey(line);
    }
    char now[32];
    LocalTimestamp(now);
    LineString(line, "time", now);
}

void LineKey(JsonLine* line, const char* name) {
    PutText(&line->b, ",\"");
    PutText(&line->b, name);
    PutText(&line->b, "\":");
}

// A text as a JSON string, cleaned to UTF-8 first; null for none.
void LinePutString(Builder* b, const char* text) {
    if (text == nullptr) {
        PutText(b, "null");
        return;
    }
    // Whole, whatever its length: each byte that is no UTF-8 takes three.
    size_t capacity = 3 * strlen(text) + 1;
    char* clean = static_cast<char*>(malloc(capacity));
    if (clean == nullptr) {
        b->fits = false;
        return;
    }
    CleanUtf8(clean, capacity, text);
    PutText(b, "\"");
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(clean); *c; c++) {
        char escaped[8];
        const char* named = *c == '"'    ? "\\\""
                            : *c == '\\' ? "\\\\"
                            : *c == '\n' ? "\\n"
                            : *c == '\r' ? "\\r"
                            : *c == '\t' ? "\\t"
                                         : nullptr;
        if (named != nullptr) {
            PutText(b, named);
        } else if (*c < 0x20 || *c == 0x7F) {
            snprintf(escaped, sizeof escaped, "\\u%04x", *c);
            PutText(b, escaped);
        } else {
            Put(b, reinterpret_cast<const char*>(c), 1);
        }
    }
    PutText(b, "\"");
    free(clean);
}

void LineString(JsonLine* line, const char* name, const char* text) {
    LineKey(line, name);
    LinePutString(&line->b, text);
}

// Whether a record was written: true, false, or null where none was asked for.
void LineRecorded(JsonLine* line, Recorded recorded) {
    static const char* const words[] = {"null", "true", "false"};
    LineKey(line, "recorded");
    PutText(&line->b, words[recorded]);
}

void LineNumber(JsonLine* line, const char* name, long long value) {
    char text[24];
    snprintf(text, sizeof text, "%lld", value);
    LineKey(line, name);
    PutText(&line->b, text);
}

// A number, or null for one never read.
void LineOptionalNumber(JsonLine* line, const char* name, bool present, long long value) {
    if (present) {
        LineNumber(line, name, value);
    } else {
        LineKey(line, name);
        PutText(&line->b, "null");
    }
}

// A line out, whole or not at all: one cut short would be no JSON. A
// progress line says all that the one before it did: a reader far behind
// may get the newest alone.
void LineWrite(const char* text, size_t length) {
    static const char progress[] = "{\"event\":\"progress\"";
    bool replaceable = strncmp(text, progress, sizeof progress - 1) == 0;
    if (ToStandardOutput) {
        PlatformStandardOutputWrite(text, length, replaceable);
    }
    if (ToPublisher) {
        PlatformPublishWrite(text, length, replaceable);
    }
}

void LineEnd(JsonLine* line) {
    PutText(&line->b, "}\n");
    if (line->b.fits) {
        LineWrite(line->b.out, line->b.length);
    }
    free(line->b.out);
}

void JsonStart(const char* version, char transport, uint32_t waitMs, const char* image,
               const char* log) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    char letter[2] = {transport, '\0'};
    LineBegin(&line, "start");
    LineString(&line, "version", version);
    LineString(&line, "transport", letter);
    LineNumber(&line, "wait_ms", waitMs);
    LineString(&line, "image", image);
    LineString(&line, "log", log);
    LineEnd(&line);
}

void JsonFrontends(char* const* names, int32_t count) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "frontends");
    LineKey(&line, "names");
    PutText(&line.b, "[");
    for (int32_t j = 0; j < count; j++) {
        const char* name = names[j] != nullptr ? names[j] : "";
        size_t capacity = 4 * strlen(name) + 1; // room for any name in UTF-8
        char* utf8 = static_cast<char*>(malloc(capacity));
        if (utf8 == nullptr) {
            line.b.fits = false;
            break;
        }
        PlatformNarrowTextToUtf8(name, utf8, capacity);
        PutText(&line.b, j > 0 ? "," : "");
        LinePutString(&line.b, utf8);
        free(utf8);
    }
    PutText(&line.b, "]");
    LineEnd(&line);
}

void JsonFrontend(const char* name, int32_t serial, uint16_t hwVersion, uint16_t swVersion) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "frontend");
    LineString(&line, "name", name);
    LineNumber(&line, "serial", serial);
    LineNumber(&line, "hw_version", hwVersion);
    LineNumber(&line, "sw_version", swVersion);
    LineEnd(&line);
}

void JsonImage(uint16_t firmwareVer, uint16_t devId, uint32_t firmwareSize, uint32_t chunks,
               const char* sha256, const char* path, const char* key) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "image");
    if (path != nullptr) {
        LineString(&line, "path", path);
    }
    LineNumber(&line, "firmware_ver", firmwareVer);
    LineNumber(&line, "dev_id", devId);
    LineNumber(&line, "firmware_size", firmwareSize);
    LineNumber(&line, "chunks", chunks);
    LineString(&line, "sha256", sha256[0] != '\0' ? sha256 : nullptr);
    if (key[0] != '\0') {
        LineString(&line, "key", key);
    }
    LineEnd(&line);
}

void JsonProgress(uint32_t chunksSent, uint32_t chunks, uint64_t startedMs) {
    static uint32_t lastPercent;
    static uint64_t lastMs;
    uint64_t elapsedMs = PlatformMilliseconds() - startedMs;
    uint32_t percent = (uint32_t)(100ull * chunksSent / chunks);
    bool due = chunksSent == 1 || percent != lastPercent || elapsedMs - lastMs >= 10000 ||
               chunksSent == chunks;
    if (!due) {
        return;
    }
    lastPercent = percent;
    lastMs = elapsedMs;
    JsonLine line;
    LineBegin(&line, "progress");
    LineNumber(&line, "chunks_sent", chunksSent);
    LineNumber(&line, "chunks", chunks);
    LineNumber(&line, "percent", percent);
    LineNumber(&line, "elapsed_s", (long long)(elapsedMs / 1000));
    LineNumber(&line, "eta_s", (long long)(elapsedMs * (chunks - chunksSent) / chunksSent / 1000));
    LineEnd(&line);
}

void JsonStatus(uint16_t code, const char* text, int minutesLeft) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "status");
    LineNumber(&line, "code", code);
    LineString(&line, "text", text);
    LineNumber(&line, "minutes_left", minutesLeft);
    LineEnd(&line);
}

void JsonResult(const RecordValues& record, const char* message, Recorded recorded,
                const JsonUnit* unit) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "result", unit);
    for (int i = 0; i < RECORD_COLUMNS_OLDER; i++) { // message, log and host come below
        const RecordColumn& column = record.columns[i];
        if (unit != nullptr && strcmp(column.name, "frontend") == 0) {
            continue; // named first
        }
        LineKey(&line, column.name);
        if (!column.present) {
            PutText(&line.b, "null");
        } else if (column.isNumber) {
            PutText(&line.b, column.value);
        } else {
            LinePutString(&line.b, column.value);
        }
    }
    const RunRecord& run = *record.run;
    if (run.tries > 1) {
        LineNumber(&line, "tries", run.tries);
    }
    if (run.verifyAsked) {
        LineOptionalNumber(&line, "verified_version", run.haveVerifiedVersion, run.verifiedVersion);
    }
    if (run.flash.chosenImage != nullptr) {
        LineString(&line, "image", run.flash.chosenImage);
    }
    LineString(&line, "message", message);
    LineRecorded(&line, recorded);
    LineEnd(&line);
}

void JsonWaiting(long long secondsToQuery, long long secondsLeft) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "waiting");
    LineNumber(&line, "seconds_to_query", secondsToQuery);
    LineNumber(&line, "seconds_left", secondsLeft);
    LineEnd(&line);
}

void JsonVerify(long long secondsLeft, const char* seen, bool haveVersion, uint16_t swVersion) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "verify");
    LineNumber(&line, "seconds_left", secondsLeft);
    LineString(&line, "seen", seen);
    LineOptionalNumber(&line, "sw_version", haveVersion, swVersion);
    LineEnd(&line);
}

void JsonRetry(int tryNumber, int tries, const char* after) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    LineBegin(&line, "retry");
    LineNumber(&line, "try", tryNumber);
    LineNumber(&line, "of", tries);
    LineString(&line, "after", after);
    LineEnd(&line);
}

// Past the JSON value at text (a string, a number, a word), or null.
const char* LineSkipValue(const char* text) {
    if (*text != '"') {
        return text + strcspn(text, ",}");
    }
    for (const char* c = text + 1; *c != '\0'; c++) {
        if (*c == '\\' && c[1] != '\0') {
            c++;
        } else if (*c == '"') {
            return c + 1;
        }
    }
    return nullptr;
}

// Where the value of "key": starts in line, or null.
static const char* ValueOf(const char* line, const char* key) {
    char quoted[64];
    snprintf(quoted, sizeof quoted, "\"%s\":", key);
    const char* at = strstr(line, quoted);
    return at != nullptr ? at + strlen(quoted) : nullptr;
}

bool JsonReadNumber(const char* line, const char* key, long long* value) {
    const char* at = ValueOf(line, key);
    char* end = nullptr;
    long long number = at != nullptr ? strtoll(at, &end, 10) : 0;
    if (at == nullptr || end == at) {
        return false;
    }
    *value = number;
    return true;
}

bool JsonReadValue(const char* line, const char* key, char* out, size_t capacity) {
    const char* at = ValueOf(line, key);
    const char* end = at != nullptr ? LineSkipValue(at) : nullptr;
    if (end == nullptr || end == at || (size_t)(end - at) >= capacity) {
        return false;
    }
    memcpy(out, at, (size_t)(end - at));
    out[end - at] = '\0';
    return true;
}

bool JsonReadWord(const char* line, const char* key, char* out, size_t capacity) {
    const char* at = ValueOf(line, key);
    const char* end = at != nullptr && *at == '"' ? strchr(at + 1, '"') : nullptr;
    if (end == nullptr || (size_t)(end - at - 1) >= capacity) {
        return false;
    }
    memcpy(out, at + 1, (size_t)(end - at - 1));
    out[end - at - 1] = '\0';
    return true;
}
