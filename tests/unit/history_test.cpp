#include "output/history.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

// The UTC offset is worked out from local and UTC broken-down times; zones
// east and west of Greenwich, and half hours, must all come out right.
TEST(History, TimestampCarriesTheUtcOffset) {
#ifdef _WIN32
    GTEST_SKIP() << "POSIX TZ rules";
#else
    const char* saved = getenv("TZ");
    std::string restore = saved ? saved : "";
    const struct {
        const char* zone;
        const char* suffix;
    } zones[] = {{"UTC0", "+00:00"},     {"IST-5:30", "+05:30"}, {"EST5", "-05:00"},
                 {"NPT-5:45", "+05:45"}, {"LINT-14", "+14:00"},  {"BIT12", "-12:00"}};
    for (const auto& zone : zones) {
        setenv("TZ", zone.zone, 1);
        tzset();
        char text[32];
        LocalTimestamp(text);
        EXPECT_EQ(std::string(text).size(), 25u) << text;
        EXPECT_EQ(std::string(text).substr(19), zone.suffix) << zone.zone;
    }
    if (saved) {
        setenv("TZ", restore.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
#endif
}
