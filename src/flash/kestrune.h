// The flash procedure: checks, confirmation, transfer, completion wait.
#pragma once

#include "flash/flash.h"

// Flashes the image into the connected frontend. The firmware file is
// closed on every return.
FlashResult Kestrune(SdkHandle handle, const FlashOptions& options, FlashReport* report);
