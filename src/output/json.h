// --json: what a run does, as JSON Lines on standard output, one object a
// line, each written whole and at once, each with its event's name and its
// local time first; --publish: the same lines fed to the operator's
// command. Nothing is written before JsonEnable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "output/history.h"
#include "output/outcome.h"
#include "output/station_screen.h"
#include "output/text_builder.h"

// Where the lines go: standard output, the publishing command, both, or
// nowhere; station, where given, names the station in every event (after
// the unit it is about, before the time).
void JsonEnable(bool standardOutput, bool publish = false, const char* station = nullptr);

void JsonStart(const char* version, char transport, uint32_t waitMs, const char* image,
               const char* log);
// The frontends as the SDK listed them (its texts).
void JsonFrontends(char* const* names, int32_t count);
void JsonFrontend(const char* name, int32_t serial, uint16_t hwVersion, uint16_t swVersion);
// sha256 empty when the image was not hashed.
// path is named where several images were given, else null; key is the
// fingerprint of the key that signed it (--key), else empty.
void JsonImage(uint16_t firmwareVer, uint16_t devId, uint32_t firmwareSize, uint32_t chunks,
               const char* sha256, const char* path, const char* key);
// After each chunk the frontend took, the transfer having started at
// startedMs (PlatformMilliseconds); written when the whole percent changes,
// at least every ten seconds, and for the last chunk. (The transfer calls it
// only with --json: without, a chunk costs nothing more.)
void JsonProgress(uint32_t chunksSent, uint32_t chunks, uint64_t startedMs);
void JsonStatus(uint16_t code, const char* text, int minutesLeft);
// During the completion wait, every ten seconds: until the next status
// query, and the most the wait can still take.
void JsonWaiting(long long secondsToQuery, long long secondsLeft);

// A station's unit as its events name it, right after the event's name:
// its frontend and its number (0: none known, no number).
struct JsonUnit {
    const char* frontend; // UTF-8
    int32_t number;
};

// The last line of a run: the record's columns, the last failure logged and
// whether the record was written.
// unit: a station's own result for one of its units; null in a run's own.
void JsonResult(const RecordValues& record, const char* message, Recorded recorded,
                const JsonUnit* unit);

// During --verify's wait, after each look: what was seen ("version", "not
// listed", "other unit") and the version it runs, if one was read.
void JsonVerify(long long secondsLeft, const char* seen, bool haveVersion, uint16_t swVersion);

// --retries: try tryNumber of tries begins, after the failure of the one
// before.
void JsonRetry(int tryNumber, int tries, const char* after);

// A worker's event about its unit as the station passes it on: its line
// with the unit right after the event's name. Other events are the
// station's own business and go nowhere.
void JsonForward(const char* line, const JsonUnit& unit);

// How a station's units ended: a count for each outcome from
// OUTCOME_FLASHED to lastCounted, indexed by the outcome.
struct StationCounts {
    const int32_t* counts;
    Outcome lastCounted;
    int32_t unrecorded;
    int status;
    const char* ended; // --watch: why it ended ("stopped", "count", "max-failures"); else null
};

// One unit of a station, as its last event lists it.
struct StationUnit {
    const char* frontend; // UTF-8
    int32_t number;
    bool haveSerial;
    int32_t serial;
    Outcome outcome;
    int status;
    const char* messageJson; // as the worker's result gave it, or null:
    const char* message;     // then this
    const char* log;
    Recorded recorded;
};

// --watch: a frontend that arrived in the fixture, or left it (event is
// "arrived" or "left").
void JsonFixture(const char* event, const JsonUnit& unit);
// --watch, every ten seconds: the counts so far, the frontends listed,
// those being flashed, how long the station has run, and each slot as the
// station's board shows it (its frontend, its unit, its state's word and
// its text).
void JsonWatching(const StationCounts& counts, int32_t listed, int32_t working,
                  long long runningSeconds, const ScreenCell* slots, int32_t slotCount);

// The units of a station's last event, kept in the order they come: in a
// temporary file, so that a watch of a whole day holds none of them in
// memory; in memory from where that file cannot be had or written (once a
// write to it failed, it takes nothing more: what follows would land after
// a broken entry, or before the entries memory took). Without --json
// nothing is kept.
struct UnitSpool {
    FILE* file;
    long fileBytes; // what the file holds whole, the first units
    bool fileFailed;
    Builder memory; // the units after those
    int32_t count;
};
void JsonSpoolOpen(UnitSpool* spool);
void JsonSpoolUnit(UnitSpool* spool, const StationUnit& unit);
void JsonSpoolClose(UnitSpool* spool);

// The station's last event: how many units it had, how they ended, each
// unit (units may be null: none), and (where it ended before it had any)
// why.
void JsonStation(const StationCounts& counts, const UnitSpool* units, const char* message);

// The number after "key": in one of this program's own JSON lines; false
// when there is none.
bool JsonReadNumber(const char* line, const char* key, long long* value);
// The JSON value after "key": as written (a string with its quotes and
// escapes), into at most capacity bytes.
bool JsonReadValue(const char* line, const char* key, char* out, size_t capacity);
// The text after "key": (one without escapes), into at most capacity bytes.
bool JsonReadWord(const char* line, const char* key, char* out, size_t capacity);
