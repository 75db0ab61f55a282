#include "output/json.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

// What the station passes on of a worker's line.
static std::string Forwarded(const char* line, const char* frontend) {
    JsonEnabled = true;
    testing::internal::CaptureStdout();
    JsonForward(line, frontend);
    PlatformStandardOutputFlush();
    JsonEnabled = false;
    return testing::internal::GetCapturedStdout();
}

TEST(JsonTest, ForwardedEventsNameTheirFrontendOnce) {
    EXPECT_EQ(Forwarded("{\"event\":\"progress\",\"percent\":25}", "USB:\"A\""),
              "{\"event\":\"progress\",\"frontend\":\"USB:\\\"A\\\"\",\"percent\":25}\n");
    // A result has the column already: kept, or filled in where the worker
    // did not find its frontend.
    EXPECT_EQ(Forwarded("{\"event\":\"result\",\"frontend\":\"B\",\"x\":1}", "B"),
              "{\"event\":\"result\",\"frontend\":\"B\",\"x\":1}\n");
    EXPECT_EQ(Forwarded("{\"event\":\"result\",\"frontend\":null,\"x\":1}", "C"),
              "{\"event\":\"result\",\"frontend\":\"C\",\"x\":1}\n");
    EXPECT_EQ(Forwarded("not json", "D"), "");
}

TEST(JsonTest, ReadsNumbersAndWordsOfItsOwnLines) {
    const char* line = "{\"event\":\"result\",\"outcome\":\"flashed\",\"exit_status\":-17}";
    long long number = 0;
    char word[8];
    EXPECT_TRUE(JsonReadNumber(line, "exit_status", &number));
    EXPECT_EQ(number, -17);
    EXPECT_TRUE(JsonReadWord(line, "outcome", word, sizeof word));
    EXPECT_STREQ(word, "flashed");
    EXPECT_FALSE(JsonReadWord(line, "outcome", word, 7)); // no room
    EXPECT_FALSE(JsonReadNumber(line, "percent", &number));
    EXPECT_FALSE(JsonReadNumber(line, "outcome", &number)); // a text
}
