#include "output/history.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "temp_dir.h"
#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

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

// Whatever bytes the SDK gives, the record holds UTF-8, cut only between
// characters.
TEST(History, TextBecomesValidUtf8) {
    const struct {
        const char* in;
        size_t capacity;
        const char* out;
    } cases[] = {
        {"K\xC3\xBC"
         "che",
         64,
         "K\xC3\xBC"
         "che"},
        {"K\xFF"
         "che",
         64,
         "K\xEF\xBF\xBD"
         "che"},
        {"\xC0\xAF", 64, "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong "/"
        {"\xED\xA0\x80", 64, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {"\xF4\x90\x80\x80", 64, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"ab\xE2\x82", 64, "ab\xEF\xBF\xBD\xEF\xBF\xBD"}, // cut short
        {"ab\xC3\xBC", 4, "ab"},                          // no room for the whole character
        {"ab\xC3\xBC", 5, "ab\xC3\xBC"},
    };
    for (const auto& c : cases) {
        char out[64];
        CleanUtf8(out, c.capacity, c.in);
        EXPECT_EQ(std::string(out), std::string(c.out)) << c.in;
    }
}

TEST(History, LeadingTabOrCarriageReturnIsNoFormula) {
    RunRecord run = {};
    run.haveFrontend = true;
    for (const char* name : {"\tcalc", "\rcalc", "=1+1"}) {
        snprintf(run.frontend, sizeof run.frontend, "%s", name);
        char record[1024];
        RecordValues values;
        FillRecord(&values, run, false, false, 0);
        ASSERT_GT(FormatHistoryRecord(record, sizeof record, values, RECORD_COLUMNS), 0u);
        std::string text = record;
        EXPECT_TRUE(text.find(std::string(",'") + name) != std::string::npos ||
                    text.find(std::string(",\"'") + name) != std::string::npos)
            << text;
    }
}

// After SUCCESS a stop changes nothing, the record neither: a stop that
// comes while another run holds the history's lock does not end the wait.
TEST(History, FlashedRecordWaitsOutTheLockWhateverStopsCome) {
#ifdef _WIN32
    GTEST_SKIP() << "a POSIX signal stands for the stop";
#else
    TempDir dir;
    int held = open("h.csv", O_CREAT | O_RDWR, 0644);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    PlatformRetakeStop();
    std::thread other([held] {
        usleep(100 * 1000);
        kill(getpid(), SIGINT);
        usleep(300 * 1000);
        close(held); // the other run is done
    });
    const char* const none[] = {nullptr};
    auto record = [](const PlatformFoundFile&, char* out, size_t, const void*) -> size_t {
        memcpy(out, "record\r\n", 8);
        return 8;
    };
    uint32_t error =
        PlatformAppendLocked("h.csv", none, RECORD_WAIT_WHATEVER_STOPS, record, nullptr);
    other.join();
    EXPECT_TRUE(PlatformStopRequested());
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(FileText("h.csv"), "record\r\n");
#endif
}

// A new history starts with the byte order mark and every column; one
// started before tries, key and unit keeps its 20 columns, one started before
// message, log and host its 17; a record always starts a line of its own.
TEST(History, RecordsHaveTheColumnsOfTheirFilesHeader) {
    TempDir dir;
    RunRecord run = {};
    run.message = "a, \"b\"";
    run.log = "k.log";
    RecordValues values;
    FillRecord(&values, run, false, false, 3);
    const char* const none[] = {nullptr};
    char record[2048];
    ASSERT_GT(FormatHistoryRecord(record, sizeof record, values, RECORD_COLUMNS), 0u);
    std::string whole = record;
    EXPECT_NE(whole.find(",3,\"a, \"\"b\"\"\",k.log,"), std::string::npos) << whole;
    ASSERT_EQ(AppendHistoryRecord("new.csv", none, RECORD_NO_WAIT, values), 0u);
    std::string created = FileText("new.csv");
    EXPECT_EQ(created.substr(0, 11), "\xEF\xBB\xBFstarted,");
    EXPECT_NE(created.find(",exit_status,message,log,host,tries,key,unit\r\n" + whole),
              std::string::npos);

    ASSERT_GT(FormatHistoryRecord(record, sizeof record, values, RECORD_COLUMNS_HOST), 0u);
    std::string withHost = "started,finished,exit_status,message,log,host\r\n";
    WriteFileText("host.csv", withHost);
    ASSERT_EQ(AppendHistoryRecord("host.csv", none, RECORD_NO_WAIT, values), 0u);
    EXPECT_EQ(FileText("host.csv"), withHost + record);

    ASSERT_GT(FormatHistoryRecord(record, sizeof record, values, RECORD_COLUMNS_OLDER), 0u);
    std::string older = "started,finished,outcome,exit_status\r\nno line end";
    WriteFileText("old.csv", older);
    ASSERT_EQ(AppendHistoryRecord("old.csv", none, RECORD_NO_WAIT, values), 0u);
    EXPECT_EQ(FileText("old.csv"), older + "\r\n" + record);
    EXPECT_EQ(std::string(record).find("k.log"), std::string::npos);
}
