// --json: what a run does, as JSON Lines on standard output, one object a
// line, each written whole and at once. Nothing is written unless
// JsonEnabled.
#pragma once

#include <cstddef>
#include <cstdint>

struct RecordValues;

extern bool JsonEnabled;

void JsonStart(const char* version, char transport, uint32_t waitMs, const char* image,
               const char* log);
// The frontends as the SDK listed them (its texts).
void JsonFrontends(char* const* names, int32_t count);
void JsonFrontend(const char* name, int32_t serial, uint16_t hwVersion, uint16_t swVersion);
// sha256 empty when the image was not hashed.
// path is named where several images were given, else null.
void JsonImage(uint16_t firmwareVer, uint16_t devId, uint32_t firmwareSize, uint32_t chunks,
               const char* sha256, const char* path);
// After each chunk the frontend took, the transfer having started at
// startedMs (PlatformMilliseconds); written when the whole percent changes,
// at least every ten seconds, and for the last chunk.
// (Inline: the transfer calls it for every chunk, and without --json it must
// cost nothing.)
void JsonWriteProgress(uint32_t chunksSent, uint32_t chunks, uint64_t startedMs);
inline void JsonProgress(uint32_t chunksSent, uint32_t chunks, uint64_t startedMs) {
    if (JsonEnabled) {
        JsonWriteProgress(chunksSent, chunks, startedMs);
    }
}
void JsonStatus(uint16_t code, const char* text, int minutesLeft);
// The last line of a run: the record's columns and the last failure logged.
void JsonResult(const RecordValues& record, const char* message);

// During --verify's wait, after each look: what was seen ("version", "not
// listed", "other unit") and the version it runs, if one was read.
void JsonVerify(long long secondsLeft, const char* seen, bool haveVersion, uint16_t swVersion);

// A worker's event as the station passes it on: its line with
// "frontend": name added after the event's name.
void JsonForward(const char* line, const char* frontend);

// The station's last event: how many frontends, how many ended in each
// outcome (outcomes and counts side by side, outcomeCount of them), and its
// exit status.
void JsonStation(int32_t frontends, const char* const* outcomes, const int32_t* counts,
                 size_t outcomeCount, int status);

// The number after "key": in one of this program's own JSON lines; false
// when there is none.
bool JsonReadNumber(const char* line, const char* key, long long* value);
// The text after "key": (one without escapes), into at most capacity bytes.
bool JsonReadWord(const char* line, const char* key, char* out, size_t capacity);
