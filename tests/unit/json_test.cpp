#include "output/json.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

// What the station passes on of a worker's line.
static std::string Forwarded(const char* line, const char* frontend) {
    JsonEnable(true);
    testing::internal::CaptureStdout();
    JsonForward(line, frontend);
    PlatformStandardOutputFlush();
    JsonEnable(false);
    return testing::internal::GetCapturedStdout();
}

TEST(JsonTest, ForwardedEventsNameTheirFrontendOnce) {
    EXPECT_EQ(Forwarded("{\"event\":\"progress\",\"percent\":25}", "USB:\"A\""),
              "{\"event\":\"progress\",\"frontend\":\"USB:\\\"A\\\"\",\"percent\":25}\n");
    // A result's own column goes: the name comes first and whole, where the
    // worker's was cut short or null.
    EXPECT_EQ(Forwarded("{\"event\":\"result\",\"t\":0,\"frontend\":\"B\\\"c\",\"x\":1}", "B\"cd"),
              "{\"event\":\"result\",\"frontend\":\"B\\\"cd\",\"t\":0,\"x\":1}\n");
    EXPECT_EQ(Forwarded("{\"event\":\"result\",\"frontend\":null,\"x\":1}", "C"),
              "{\"event\":\"result\",\"frontend\":\"C\",\"x\":1}\n");
    // Only what is about the unit: the worker's start and listing are not.
    EXPECT_EQ(Forwarded("{\"event\":\"start\",\"x\":1}", "D"), "");
    EXPECT_EQ(Forwarded("{\"event\":\"frontends\",\"x\":1}", "D"), "");
    EXPECT_EQ(Forwarded("not json", "D"), "");
    // Whole, however long.
    std::string name(40000, 'n');
    std::string line = "{\"event\":\"status\",\"text\":\"" + name + "\"}";
    EXPECT_EQ(Forwarded(line.c_str(), name.c_str()),
              "{\"event\":\"status\",\"frontend\":\"" + name + "\",\"text\":\"" + name + "\"}\n");
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
