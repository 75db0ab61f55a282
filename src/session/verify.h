// --verify: after SUCCESS, proof that the frontend runs the new firmware
// once it has rebooted.
#pragma once

#include <cstdint>

#include "output/run_record.h"

// What the frontend is looked for as: the name it was flashed under (as
// listed), the serial that was flashed, and the version it must run.
struct VerifyPlan {
    int32_t transportCode;
    const char* name;
    int32_t serial;
    uint16_t firmwareVer;
    int32_t minutes;
};

// Looks for the frontend every 5 seconds, each look a short session of its
// own, until it runs the image's version, the minutes run out or a stop
// comes; logs the verdict and notes it in the run's record.
void VerifyFlash(const VerifyPlan& plan, RunRecord* record);
