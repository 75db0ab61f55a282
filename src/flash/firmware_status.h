// Firmware status codes as the frontend reports them.
#pragma once

#include <cstdint>

// The text for a status code; "Reserved" for any code without one.
const char* FirmwareStatusName(uint16_t code);
