#include "platform/console_backlog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

static std::string Waiting(const ConsoleBacklog& backlog) {
    return std::string(backlog.bytes, backlog.count);
}

// While the console keeps up, every byte goes out as given.
TEST(ConsoleBacklogTest, KeepsEverythingInOrderWhileTheConsoleKeepsUp) {
    ConsoleBacklog backlog = {};
    ConsoleBacklogAdd(&backlog, "Sending\r\n", 9, false);
    ConsoleBacklogAdd(&backlog, "\r__||", 5, true);
    ConsoleBacklogAdd(&backlog, "\r___|", 5, true);
    ConsoleBacklogAdd(&backlog, "/", 1, true);
    EXPECT_EQ(Waiting(backlog), "Sending\r\n\r__||\r___|/");
    free(backlog.bytes);
}

// Behind, the newest redraw (with what was added to it) replaces the one
// still waiting at the end; messages are never dropped nor reordered.
TEST(ConsoleBacklogTest, BehindOnlyRedrawsAtTheEndAreReplaced) {
    ConsoleBacklog backlog = {};
    std::string message(CONSOLE_BACKLOG_BEHIND, 'm');
    ConsoleBacklogAdd(&backlog, message.data(), message.size(), false);
    ConsoleBacklogAdd(&backlog, "\r_|", 3, true);
    ConsoleBacklogAdd(&backlog, "/", 1, true);
    ConsoleBacklogAdd(&backlog, "\r__", 3, true);
    ConsoleBacklogAdd(&backlog, "\r\nDone\r\n", 8, false);
    ConsoleBacklogAdd(&backlog, "\r*", 2, true);
    EXPECT_EQ(Waiting(backlog), message + "\r__\r\nDone\r\n\r*");

    ConsoleBacklog writing = {};
    ConsoleBacklogTake(&backlog, &writing);
    EXPECT_EQ(backlog.count, 0u);
    EXPECT_EQ(Waiting(writing), message + "\r__\r\nDone\r\n\r*");
    ConsoleBacklogAdd(&backlog, "\r**", 3, true); // caught up: kept again
    ConsoleBacklogAdd(&backlog, "\r***", 4, true);
    EXPECT_EQ(Waiting(backlog), "\r**\r***");
    free(backlog.bytes);
    free(writing.bytes);
}
