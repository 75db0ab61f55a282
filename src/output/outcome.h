// How a run or a station's unit ended: one table, so that what counts as
// flashed, failed or done is said once. Names are written only where the
// history and the JSON are.
#pragma once

enum Outcome {
    OUTCOME_NONE, // not known yet
    OUTCOME_FLASHED,
    OUTCOME_CURRENT, // --skip-current: it already ran the image's version
    OUTCOME_REFUSED, // not fit to be flashed: image, frontend, connection
    OUTCOME_DECLINED,
    OUTCOME_FAILED,
    OUTCOME_STOPPED,
    OUTCOME_GONE,      // a station's unit taken out before its worker found it
    OUTCOME_DUPLICATE, // a station's unit another of its workers flashes
    OUTCOME_VERIFIED,
    OUTCOME_UNVERIFIED,
    OUTCOME_UNPROVEN, // flashed, but a stop came before its verify's verdict
    OUTCOME_LISTED,   // --list
    OUTCOME_END
};

// A station counts the outcomes from OUTCOME_FLASHED on: this many always,
// the verify's three more where --verify asks for them.
enum { STATION_OUTCOMES = OUTCOME_DUPLICATE, STATION_OUTCOMES_VERIFIED = OUTCOME_UNPROVEN };

struct OutcomeKind {
    const char* name;
    bool flashed; // the unit runs the image: a watch's --count counts it
    bool failed;  // to be set aside: a watch's --max-failures counts it
    bool done;    // nothing more to do with it: take it out
};
extern const OutcomeKind Outcomes[OUTCOME_END];

// The outcome of that name, OUTCOME_NONE for none.
Outcome OutcomeNamed(const char* name);
