// What the JSON's writers share: an event built as one line, as long as it
// needs to be, and written whole or not at all. Nothing outside the JSON
// writers includes it.
#pragma once

#include <cstddef>

#include "output/json.h"
#include "output/text_builder.h"

struct JsonLine {
    Builder b;
};

// Whether JSON goes anywhere (--json, --publish).
bool JsonOn();

// The event's name, the unit it is about (where it is about one), the
// station's name (where it has one), its time.
void LineBegin(JsonLine* line, const char* event, const JsonUnit* unit = nullptr);
// The unit an event is about: its frontend, its number where it has one,
// and the station's name.
void LineAbout(JsonLine* line, const JsonUnit& unit);
void LineKey(JsonLine* line, const char* name);
// A text as a JSON string, cleaned to UTF-8 first; null for none.
void LinePutString(Builder* b, const char* text);
void LineString(JsonLine* line, const char* name, const char* text);
void LineNumber(JsonLine* line, const char* name, long long value);
// A number, or null for one never read.
void LineOptionalNumber(JsonLine* line, const char* name, bool present, long long value);
// Whether a record was written: true, false, or null where none was asked for.
void LineRecorded(JsonLine* line, Recorded recorded);
// The line ended and written, whole or not at all.
void LineEnd(JsonLine* line);
// Bytes out to where the JSON goes, as they are.
void LineWrite(const char* text, size_t length);
// Past the JSON value at text (a string, a number, a word), or null.
const char* LineSkipValue(const char* text);
