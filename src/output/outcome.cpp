#include "output/outcome.h"

#include <cstring>

const OutcomeKind Outcomes[OUTCOME_END] = {
    {"", false, false, false},          {"flashed", true, false, true},
    {"current", false, false, true},    {"refused", false, true, false},
    {"declined", false, false, false},  {"failed", false, true, false},
    {"stopped", false, false, false},   {"gone", false, false, false},
    {"duplicate", false, false, false}, {"verified", true, false, true},
    {"unverified", false, true, false}, {"unproven", false, false, false},
    {"listed", false, false, false},
};

Outcome OutcomeNamed(const char* name) {
    for (int k = OUTCOME_FLASHED; k < OUTCOME_END; k++) {
        if (strcmp(Outcomes[k].name, name) == 0) {
            return static_cast<Outcome>(k);
        }
    }
    return OUTCOME_NONE;
}
