// QuickEdit off and back: the console input mode arithmetic, kept apart
// from the console so that it can be checked anywhere.
#pragma once

#include <cstdint>

// Console input mode flags, as wincon.h has them.
enum : uint32_t {
    CONSOLE_INSERT_MODE = 0x0020,
    CONSOLE_QUICK_EDIT_MODE = 0x0040,
    CONSOLE_EXTENDED_FLAGS = 0x0080,
};

// The mode to set while the tool runs: QuickEdit off, Insert as it was.
uint32_t ConsoleModeWithoutQuickEdit(uint32_t saved);

// The mode that gives the operator's QuickEdit and Insert back.
uint32_t ConsoleModeRestored(uint32_t saved);
