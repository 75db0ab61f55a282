#include "flash/firmware_status.h"

static const struct {
    uint16_t code;
    const char* name;
} StatusNames[] = {
    {0, "Undefined"},
    {1, "Running (current firmware Ok)"},
    {2, "Erasing (Old Firmware is being erased)"},
    {3, "Verifying (New Firmware is being verified)"},
    {4, "Programming (New firmware is being flashed)"},
    {5, "Programming done, wait for reboot"},
    {0x100, "CRC Error"},
    {0x200, "Firmware size too large (pre-condition)"},
    {0x300, "Firmware size too small (pre-condition)"},
    {0x400, "Erase failed"},
    {0x500, "Incorrect Hardware version (pre-condition)"},
    {0x600, "Incorrect Device ID  (pre-condition)"},
    {0x700, "No Ext power  (pre-condition)"},
    {0x800, "Battery too low  (pre-condition)"},
};

const char* FirmwareStatusName(uint16_t code) {
    for (const auto& entry : StatusNames) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return "Reserved";
}
