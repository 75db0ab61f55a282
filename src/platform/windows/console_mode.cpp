#include "platform/windows/console_mode.h"

// QuickEdit and Insert are only read and set together with
// ENABLE_EXTENDED_FLAGS. A saved mode without it says nothing of either:
// take the console's defaults, both on, so that neither is lost.
static uint32_t WithExtendedFlags(uint32_t saved) {
    if (saved & CONSOLE_EXTENDED_FLAGS) {
        return saved;
    }
    return saved | CONSOLE_EXTENDED_FLAGS | CONSOLE_INSERT_MODE | CONSOLE_QUICK_EDIT_MODE;
}

uint32_t ConsoleModeWithoutQuickEdit(uint32_t saved) {
    return WithExtendedFlags(saved) & ~(uint32_t)CONSOLE_QUICK_EDIT_MODE;
}

uint32_t ConsoleModeRestored(uint32_t saved) {
    return WithExtendedFlags(saved);
}
