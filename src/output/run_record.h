// The record of one run, for scripts and production lines: what was flashed
// into which frontend, when, and with what outcome. Filled in as the run
// goes; the history and the JSON result are made from it at its end.
#pragma once

#include <cstdint>

#include "output/outcome.h"

enum { HISTORY_TEXT_SIZE = 256 };

// What a flash did, filled in as it goes.
struct FlashReport {
    bool haveInfo; // the frontend before the flash
    int32_t serial;
    uint16_t hwVersion;
    uint16_t swVersion;
    bool haveImage; // the image's header and hash
    uint16_t firmwareVer;
    uint16_t devId;
    uint32_t firmwareSize;
    char imageSha256[65]; // empty when not hashed
    char signedBy[17];    // --key: the fingerprint of the key that signed it, or empty
    uint32_t chunksSent;
    bool confirmed;
    bool declined;
    bool alreadyCurrent; // --skip-current found the image's version running
    bool flashed;        // the frontend reported success
    uint16_t reportedVersion;
    const char* chosenImage; // of several images, the one flashed (null with one)
    const char* failure;     // what ended the flash short of success, null for nothing
};

struct RunRecord {
    char started[32];
    char transport;
    uint32_t waitTime;
    // The frontend chosen, as UTF-8.
    char frontend[HISTORY_TEXT_SIZE];
    bool haveFrontend;
    bool listOnly; // --list: nothing was to be flashed
    bool flashRan;
    int flashResult; // the number the record gives it
    FlashReport flash;
    // --verify: what the frontend ran after its reboot.
    // NOT_VERIFIED: no verdict; UNPROVEN: a stop came before one.
    enum { NOT_VERIFIED, VERIFIED, UNVERIFIED, UNPROVEN } verdict;
    const char* verdictWhy; // what the looks saw, where it was not verified
    int tries;              // --retries: how many flashes the frontend had, 1 without
    const char* earlier;    // what the tries before the last ended with, or null
    bool verifyAsked;
    bool haveVerifiedVersion;
    uint16_t verifiedVersion;
    // What the record says besides.
    Outcome outcome;     // given outright (a station's word for a unit), or none
    const char* message; // the failure that ended it, "" for none
    const char* station; // --station: the name the host column takes, or null
    int32_t unit;        // a station's unit: its number, 0 for none
    const char* log;     // the log file, as given
};
