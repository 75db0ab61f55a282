// Waiting for the frontend to finish programming after the transfer.
#pragma once

#include "flash/phases.h"

// Polls the firmware status once a minute, at most six times, until the
// frontend reports that programming is done.
FlashResult AwaitCompletion(SdkHandle handle, FlashReport* report);
