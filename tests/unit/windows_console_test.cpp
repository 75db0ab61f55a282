#include <gtest/gtest.h>

#include "platform/windows/console_mode.h"

// A saved mode with ENABLE_EXTENDED_FLAGS tells QuickEdit and Insert: only
// QuickEdit goes, and the same mode comes back. One without it tells
// neither: Insert must not be turned off with QuickEdit, and the restore
// must not leave QuickEdit off.
TEST(ConsoleMode, QuickEditOffAndBack) {
    const struct {
        uint32_t saved, during, restored;
    } cases[] = {
        {0x1F7, 0x1B7, 0x1F7},
        {0x7, 0xA7, 0xE7},
        {0x187, 0x187, 0x187}, // QuickEdit and Insert both off already
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConsoleModeWithoutQuickEdit(c.saved), c.during) << std::hex << c.saved;
        EXPECT_EQ(ConsoleModeRestored(c.saved), c.restored) << std::hex << c.saved;
    }
}
