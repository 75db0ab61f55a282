#include "output/json.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/history.h"
#include "output/record_text.h"
#include "output/text_builder.h"
#include "platform/platform.h"

static bool JsonEnabled;

void JsonEnable(bool enabled) {
    JsonEnabled = enabled;
}

// One line, as long as it needs to be: an event is written whole or not at
// all.
struct JsonLine {
    Builder b;
};

static void String(JsonLine* line, const char* name, const char* text);

// The event's name, the frontend it is about (a station's unit), its time.
static void Number(JsonLine* line, const char* name, long long value);

// The unit an event is about: its frontend, and its number where it has one.
static void Unit(JsonLine* line, const JsonUnit& unit) {
    String(line, "frontend", unit.frontend);
    if (unit.number > 0) {
        Number(line, "unit", unit.number);
    }
}

static void Begin(JsonLine* line, const char* event, const JsonUnit* unit = nullptr) {
    line->b = Builder{nullptr, 0, 0, true, true};
    PutText(&line->b, "{\"event\":\"");
    PutText(&line->b, event);
    PutText(&line->b, "\"");
    if (unit != nullptr) {
        Unit(line, *unit);
    }
    char now[32];
    LocalTimestamp(now);
    String(line, "time", now);
}

static void Key(JsonLine* line, const char* name) {
    PutText(&line->b, ",\"");
    PutText(&line->b, name);
    PutText(&line->b, "\":");
}

// A text as a JSON string, cleaned to UTF-8 first; null for none.
static void PutString(Builder* b, const char* text) {
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

static void String(JsonLine* line, const char* name, const char* text) {
    Key(line, name);
    PutString(&line->b, text);
}

// Whether a record was written: true, false, or null where none was asked for.
static void RecordedKey(JsonLine* line, Recorded recorded) {
    static const char* const words[] = {"null", "true", "false"};
    Key(line, "recorded");
    PutText(&line->b, words[recorded]);
}

static void Number(JsonLine* line, const char* name, long long value) {
    char text[24];
    snprintf(text, sizeof text, "%lld", value);
    Key(line, name);
    PutText(&line->b, text);
}

// A number, or null for one never read.
static void OptionalNumber(JsonLine* line, const char* name, bool present, long long value) {
    if (present) {
        Number(line, name, value);
    } else {
        Key(line, name);
        PutText(&line->b, "null");
    }
}

// A line out, whole or not at all: one cut short would be no JSON. A
// progress line says all that the one before it did: a reader far behind
// may get the newest alone.
static void Write(const char* text, size_t length) {
    static const char progress[] = "{\"event\":\"progress\"";
    bool replaceable = strncmp(text, progress, sizeof progress - 1) == 0;
    PlatformStandardOutputWrite(text, length, replaceable);
}

static void End(JsonLine* line) {
    PutText(&line->b, "}\n");
    if (line->b.fits) {
        Write(line->b.out, line->b.length);
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
    Begin(&line, "start");
    String(&line, "version", version);
    String(&line, "transport", letter);
    Number(&line, "wait_ms", waitMs);
    String(&line, "image", image);
    String(&line, "log", log);
    End(&line);
}

void JsonFrontends(char* const* names, int32_t count) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "frontends");
    Key(&line, "names");
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
        PutString(&line.b, utf8);
        free(utf8);
    }
    PutText(&line.b, "]");
    End(&line);
}

void JsonFrontend(const char* name, int32_t serial, uint16_t hwVersion, uint16_t swVersion) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "frontend");
    String(&line, "name", name);
    Number(&line, "serial", serial);
    Number(&line, "hw_version", hwVersion);
    Number(&line, "sw_version", swVersion);
    End(&line);
}

void JsonImage(uint16_t firmwareVer, uint16_t devId, uint32_t firmwareSize, uint32_t chunks,
               const char* sha256, const char* path, const char* key) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "image");
    if (path != nullptr) {
        String(&line, "path", path);
    }
    Number(&line, "firmware_ver", firmwareVer);
    Number(&line, "dev_id", devId);
    Number(&line, "firmware_size", firmwareSize);
    Number(&line, "chunks", chunks);
    String(&line, "sha256", sha256[0] != '\0' ? sha256 : nullptr);
    if (key[0] != '\0') {
        String(&line, "key", key);
    }
    End(&line);
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
    Begin(&line, "progress");
    Number(&line, "chunks_sent", chunksSent);
    Number(&line, "chunks", chunks);
    Number(&line, "percent", percent);
    Number(&line, "elapsed_s", (long long)(elapsedMs / 1000));
    Number(&line, "eta_s", (long long)(elapsedMs * (chunks - chunksSent) / chunksSent / 1000));
    End(&line);
}

void JsonStatus(uint16_t code, const char* text, int minutesLeft) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "status");
    Number(&line, "code", code);
    String(&line, "text", text);
    Number(&line, "minutes_left", minutesLeft);
    End(&line);
}

void JsonResult(const RecordValues& record, const char* message, Recorded recorded,
                const JsonUnit* unit) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "result", unit);
    for (int i = 0; i < RECORD_COLUMNS_OLDER; i++) { // message, log and host come below
        const RecordColumn& column = record.columns[i];
        if (unit != nullptr && strcmp(column.name, "frontend") == 0) {
            continue; // named first
        }
        Key(&line, column.name);
        if (!column.present) {
            PutText(&line.b, "null");
        } else if (column.isNumber) {
            PutText(&line.b, column.value);
        } else {
            PutString(&line.b, column.value);
        }
    }
    const RunRecord& run = *record.run;
    if (run.tries > 1) {
        Number(&line, "tries", run.tries);
    }
    if (run.verifyAsked) {
        OptionalNumber(&line, "verified_version", run.haveVerifiedVersion, run.verifiedVersion);
    }
    if (run.flash.chosenImage != nullptr) {
        String(&line, "image", run.flash.chosenImage);
    }
    String(&line, "message", message);
    RecordedKey(&line, recorded);
    End(&line);
}

void JsonWaiting(long long secondsToQuery, long long secondsLeft) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "waiting");
    Number(&line, "seconds_to_query", secondsToQuery);
    Number(&line, "seconds_left", secondsLeft);
    End(&line);
}

void JsonVerify(long long secondsLeft, const char* seen, bool haveVersion, uint16_t swVersion) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "verify");
    Number(&line, "seconds_left", secondsLeft);
    String(&line, "seen", seen);
    OptionalNumber(&line, "sw_version", haveVersion, swVersion);
    End(&line);
}

void JsonRetry(int tryNumber, int tries, const char* after) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "retry");
    Number(&line, "try", tryNumber);
    Number(&line, "of", tries);
    String(&line, "after", after);
    End(&line);
}

// Past the JSON value at text (a string, a number, a word), or null.
static const char* SkipValue(const char* text) {
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

void JsonForward(const char* line, const JsonUnit& unit) {
    // {"event":"NAME" then the rest: every line of ours starts so.
    static const char start[] = "{\"event\":\"";
    if (!JsonEnabled || strncmp(line, start, sizeof start - 1) != 0) {
        return;
    }
    const char* name = line + sizeof start - 1;
    const char* rest = strchr(name, '"');
    // Only what is about the unit: its own start and listing are the
    // station's already.
    static const char* const unitEvents[] = {"image",   "frontend", "progress", "status",
                                             "waiting", "verify",   "retry",    "result"};
    bool aboutTheUnit = false;
    for (const char* event : unitEvents) {
        aboutTheUnit = aboutTheUnit || (rest != nullptr && (size_t)(rest - name) == strlen(event) &&
                                        strncmp(name, event, strlen(event)) == 0);
    }
    if (!aboutTheUnit) {
        return;
    }
    // The frontend right after the event, named whole: a result's own
    // column may be cut short, or null where the worker did not find it.
    JsonLine out;
    out.b = Builder{nullptr, 0, 0, true, true};
    Put(&out.b, line, (size_t)(rest + 1 - line));
    Unit(&out, unit);
    static const char column[] = ",\"frontend\":";
    const char* named = strstr(rest + 1, column);
    const char* after = named != nullptr ? SkipValue(named + sizeof column - 1) : nullptr;
    if (after != nullptr) {
        Put(&out.b, rest + 1, (size_t)(named - rest - 1));
        PutText(&out.b, after);
    } else {
        PutText(&out.b, rest + 1);
    }
    PutText(&out.b, "\n");
    if (out.b.fits) {
        Write(out.b.out, out.b.length);
    }
    free(out.b.out);
}

void JsonFixture(const char* event, const JsonUnit& unit) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, event, &unit);
    End(&line);
}

static void Counts(JsonLine* line, const StationCounts& counts) {
    for (int k = OUTCOME_FLASHED; k <= counts.lastCounted; k++) {
        Number(line, Outcomes[k].name, counts.counts[k]);
    }
    Number(line, "unrecorded", counts.unrecorded);
}

void JsonWatching(const StationCounts& counts, int32_t listed, int32_t working) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "watching");
    Counts(&line, counts);
    Number(&line, "listed", listed);
    Number(&line, "working", working);
    End(&line);
}

// One unit as the station's last event lists it, after a comma unless it
// is the first.
static void PutUnit(JsonLine* line, const StationUnit& unit, bool first) {
    PutText(&line->b, first ? "{\"frontend\":" : ",{\"frontend\":");
    PutString(&line->b, unit.frontend);
    Number(line, "unit", unit.number);
    OptionalNumber(line, "serial", unit.haveSerial, unit.serial);
    String(line, "outcome", Outcomes[unit.outcome].name);
    Number(line, "exit_status", unit.status);
    Key(line, "message");
    if (unit.messageJson != nullptr) {
        PutText(&line->b, unit.messageJson); // as the worker wrote it
    } else {
        PutString(&line->b, unit.message);
    }
    String(line, "log", unit.log);
    RecordedKey(line, unit.recorded);
    PutText(&line->b, "}");
}

void JsonSpoolOpen(UnitSpool* spool) {
    *spool = UnitSpool{JsonEnabled ? PlatformOpenSpool() : nullptr, 0, false,
                       Builder{nullptr, 0, 0, true, true}, 0};
}

void JsonSpoolUnit(UnitSpool* spool, const StationUnit& unit) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine piece = {Builder{nullptr, 0, 0, true, true}};
    PutUnit(&piece, unit, spool->count == 0);
    if (!piece.b.fits) {
        free(piece.b.out);
        return; // (the unit is still counted in its outcome)
    }
    spool->count++;
    bool kept = spool->file != nullptr && !spool->fileFailed &&
                fwrite(piece.b.out, 1, piece.b.length, spool->file) == piece.b.length &&
                fflush(spool->file) == 0;
    if (kept) {
        spool->fileBytes += (long)piece.b.length;
    } else { // the file holds what it held whole; memory takes the rest
        spool->fileFailed = spool->file != nullptr;
        Put(&spool->memory, piece.b.out, piece.b.length);
    }
    free(piece.b.out);
}

void JsonSpoolClose(UnitSpool* spool) {
    if (spool->file != nullptr) {
        fclose(spool->file);
    }
    free(spool->memory.out);
    *spool = UnitSpool{};
}

// What the spool's file holds, out as it is read: the line goes out in
// pieces, and nothing else writes while a station ends.
static void WriteSpooled(const UnitSpool& spool) {
    if (spool.file == nullptr || fseek(spool.file, 0, SEEK_SET) != 0) {
        return;
    }
    char block[65536];
    for (long left = spool.fileBytes; left > 0;) {
        size_t step = left < (long)sizeof block ? (size_t)left : sizeof block;
        size_t got = fread(block, 1, step, spool.file);
        if (got == 0) {
            return;
        }
        Write(block, got);
        left -= (long)got;
    }
}

void JsonStation(const StationCounts& counts, const UnitSpool* units, const char* message) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "station");
    if (counts.ended != nullptr) {
        String(&line, "ended", counts.ended);
    }
    Number(&line, "listed", units != nullptr ? units->count : 0);
    Counts(&line, counts);
    Number(&line, "exit_status", counts.status);
    Key(&line, "units");
    PutText(&line.b, "[");
    if (!line.b.fits) {
        free(line.b.out);
        return;
    }
    Write(line.b.out, line.b.length);
    line.b.length = 0;
    if (units != nullptr) {
        WriteSpooled(*units);
        if (units->memory.length > 0) {
            Put(&line.b, units->memory.out, units->memory.length);
        }
    }
    PutText(&line.b, "]");
    if (message != nullptr) {
        String(&line, "message", message);
    }
    End(&line);
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
    const char* end = at != nullptr ? SkipValue(at) : nullptr;
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
