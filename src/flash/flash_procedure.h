// The flash procedure: checks, confirmation, transfer, completion wait.
#pragma once

#include "flash/phases.h"

// Flashes the image into the connected frontend and waits for it to finish
// programming. The firmware file is closed on every return.
FlashResult FlashFrontend(SdkHandle handle, const FlashOptions& options, FlashReport* report);
