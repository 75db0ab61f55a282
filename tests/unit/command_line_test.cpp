#include "session/command_line.h"

#include <gtest/gtest.h>

#include "sdk/kovi_sdk.h"

TEST(Transport, ChosenByTheFirstLowerCaseLetterAlone) {
    EXPECT_EQ(TransportFor("w")->code, TRANSPORT_WLAN);
    EXPECT_EQ(TransportFor("usb")->code, TRANSPORT_USB);
    EXPECT_EQ(TransportFor("bogus")->code, TRANSPORT_BLUETOOTH);
    EXPECT_EQ(TransportFor("nope")->code, TRANSPORT_NETWORK);
    EXPECT_STREQ(TransportFor("wired")->message, "Use WLAN");
    EXPECT_STREQ(TransportFor("n")->message, "Use network");
}

TEST(Transport, AnythingElseSelectsNothing) {
    EXPECT_EQ(TransportFor("W"), nullptr);
    EXPECT_EQ(TransportFor("U"), nullptr);
    EXPECT_EQ(TransportFor("x"), nullptr);
    EXPECT_EQ(TransportFor(""), nullptr);
    EXPECT_EQ(TransportFor(" u"), nullptr);
}

TEST(WaitTime, ReadLikeAtoi) {
    const struct {
        const char* text;
        uint32_t expected;
    } cases[] = {
        {"250", 250},
        {"  42", 42},
        {"\t7ms", 7},
        {"+15", 15},
        {"abc", 0},
        {"", 0},
        {"-0", 0},
        {"-", 0},
        {"0x10", 0},
        {"007", 7},
        {"4294967295", 4294967295u},
        {"00000000000000000000001", 1},
    };
    for (const auto& c : cases) {
        uint32_t waitTime = 12345;
        EXPECT_TRUE(ParseWaitTime(c.text, &waitTime)) << c.text;
        EXPECT_EQ(waitTime, c.expected) << c.text;
    }
}

TEST(WaitTime, NegativeOrBeyond32BitsIsRefused) {
    const char* refused[] = {"-1", " -100", "4294967296", "99999999999999999999999", "-5abc"};
    for (const char* text : refused) {
        uint32_t waitTime = 12345;
        EXPECT_FALSE(ParseWaitTime(text, &waitTime)) << text;
        EXPECT_EQ(waitTime, 12345u) << text;
    }
}
