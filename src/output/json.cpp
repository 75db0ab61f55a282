#include "output/json.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/history.h"
#include "output/text_builder.h"
#include "platform/platform.h"

bool JsonEnabled;

enum { JSON_LINE_MAX = 16384, JSON_TEXT_MAX = 4096 };

struct JsonLine {
    char text[JSON_LINE_MAX];
    Builder b;
};

static void Begin(JsonLine* line, const char* event) {
    line->b = Builder{line->text, sizeof line->text, 0, true};
    PutText(&line->b, "{\"event\":\"");
    PutText(&line->b, event);
    PutText(&line->b, "\"");
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
    char clean[JSON_TEXT_MAX];
    CleanUtf8(clean, sizeof clean, text);
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
}

static void String(JsonLine* line, const char* name, const char* text) {
    Key(line, name);
    PutString(&line->b, text);
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
        Write(line->text, line->b.length);
    }
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
        char utf8[JSON_TEXT_MAX];
        PlatformNarrowTextToUtf8(names[j] != nullptr ? names[j] : "", utf8, sizeof utf8);
        PutText(&line.b, j > 0 ? "," : "");
        PutString(&line.b, utf8);
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
               const char* sha256, const char* path) {
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
    End(&line);
}

void JsonWriteProgress(uint32_t chunksSent, uint32_t chunks, uint64_t startedMs) {
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

void JsonResult(const RecordValues& record, const char* message) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "result");
    for (const RecordColumn& column : record.columns) {
        Key(&line, column.name);
        if (!column.present) {
            PutText(&line.b, "null");
        } else if (column.isNumber) {
            PutText(&line.b, column.value);
        } else {
            PutString(&line.b, column.value);
        }
    }
    if (Run.verifyAsked) {
        OptionalNumber(&line, "verified_version", Run.haveVerifiedVersion, Run.verifiedVersion);
    }
    if (Run.chosenImage != nullptr) {
        String(&line, "image", Run.chosenImage);
    }
    String(&line, "message", message);
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

void JsonForward(const char* line, const char* frontend) {
    // {"event":"NAME" then the rest: every line of ours starts so.
    static const char start[] = "{\"event\":\"";
    if (!JsonEnabled || strncmp(line, start, sizeof start - 1) != 0) {
        return;
    }
    const char* rest = strchr(line + sizeof start - 1, '"');
    if (rest == nullptr) {
        return;
    }
    // A result names its frontend already: null only where the worker did
    // not find it, and the station knows which it was.
    static const char known[] = "\"frontend\":";
    const char* named = strstr(line, known);
    const char* after = named != nullptr ? named + sizeof known - 1 : nullptr;
    JsonLine out;
    out.b = Builder{out.text, sizeof out.text, 0, true};
    if (after != nullptr && strncmp(after, "null", 4) == 0) {
        Put(&out.b, line, (size_t)(after - line));
        PutString(&out.b, frontend);
        PutText(&out.b, after + 4);
    } else if (after != nullptr) {
        PutText(&out.b, line);
    } else {
        Put(&out.b, line, (size_t)(rest + 1 - line));
        Key(&out, "frontend");
        PutString(&out.b, frontend);
        PutText(&out.b, rest + 1);
    }
    PutText(&out.b, "\n");
    if (out.b.fits) {
        Write(out.text, out.b.length);
    }
}

void JsonStation(int32_t frontends, const char* const* outcomes, const int32_t* counts,
                 size_t outcomeCount, int status) {
    if (!JsonEnabled) {
        return;
    }
    JsonLine line;
    Begin(&line, "station");
    Number(&line, "frontends", frontends);
    for (size_t i = 0; i < outcomeCount; i++) {
        Number(&line, outcomes[i], counts[i]);
    }
    Number(&line, "exit_status", status);
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
