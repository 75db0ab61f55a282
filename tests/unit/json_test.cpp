#include "output/json.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

// What the station passes on of a worker's line.
static std::string Forwarded(const char* line, const char* frontend, int32_t unit = 0) {
    JsonEnable(true);
    testing::internal::CaptureStdout();
    JsonForward(line, JsonUnit{frontend, unit});
    PlatformStandardOutputFlush();
    JsonEnable(false);
    return testing::internal::GetCapturedStdout();
}

TEST(JsonTest, ForwardedEventsNameTheirFrontendOnce) {
    EXPECT_EQ(
        Forwarded("{\"event\":\"progress\",\"percent\":25}", "USB:\"A\"", 7),
        "{\"event\":\"progress\",\"frontend\":\"USB:\\\"A\\\"\",\"unit\":7,\"percent\":25}\n");
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

// The station's last event, its units listed through the spool: through its
// file (several reads of it), or in memory where it has none.
static std::string StationLine(int32_t unitCount, bool withFile) {
    JsonEnable(true);
    UnitSpool spool;
    JsonSpoolOpen(&spool);
    EXPECT_EQ(spool.file != nullptr, true);
    if (!withFile) {
        fclose(spool.file);
        spool.file = nullptr;
    }
    for (int32_t i = 0; i < unitCount; i++) {
        std::string name = "USB:KOVI-" + std::to_string(i);
        JsonSpoolUnit(&spool,
                      StationUnit{name.c_str(), i + 1, i % 2 == 0, 1234567 + i, OUTCOME_FLASHED, 0,
                                  nullptr, "", "k.log", RECORD_NOT_ASKED});
    }
    int32_t counts[OUTCOME_END] = {};
    counts[OUTCOME_FLASHED] = unitCount;
    testing::internal::CaptureStdout();
    JsonStation(StationCounts{counts, OUTCOME_FLASHED, 0, 0, nullptr}, &spool, nullptr);
    PlatformStandardOutputFlush();
    JsonSpoolClose(&spool);
    JsonEnable(false);
    return testing::internal::GetCapturedStdout();
}

TEST(JsonTest, StationListsEveryUnitSpooledInOrder) {
    std::string line = StationLine(3000, true); // about 300 KB
    // The same from memory as from the file, past the time (a second may
    // have gone by between the two).
    std::string fromMemory = StationLine(3000, false);
    ASSERT_NE(line.find("\"listed\""), std::string::npos);
    EXPECT_EQ(fromMemory.substr(fromMemory.find("\"listed\"")),
              line.substr(line.find("\"listed\"")));
    size_t at = line.find("\"listed\":3000,\"flashed\":3000,");
    EXPECT_NE(at, std::string::npos);
    for (int32_t i = 0; i < 3000; i += 999) {
        std::string unit = "{\"frontend\":\"USB:KOVI-" + std::to_string(i) +
                           "\",\"unit\":" + std::to_string(i + 1) +
                           ",\"serial\":" + (i % 2 == 0 ? std::to_string(1234567 + i) : "null") +
                           ",\"outcome\":\"flashed\",\"exit_status\":0,\"message\":\"\",\"log\":" +
                           "\"k.log\",\"recorded\":null}";
        size_t next = line.find(unit, at);
        EXPECT_NE(next, std::string::npos) << i;
        at = next;
    }
    EXPECT_EQ(line.substr(line.size() - 4), "}]}\n");
    EXPECT_EQ(line.find("},{\"frontend\":\"USB:KOVI-1\""), line.find("},{"));
}

#ifdef __GLIBC__ // (a stream that fails on demand: fopencookie)
// A temporary folder that was full for a while, then had room again: the
// units the file could not take, and all after them, come from memory, so
// that the event lists each unit once, in order, as valid JSON.
static bool FolderFull;
static ssize_t WriteUnlessFull(void* file, const char* bytes, size_t count) {
    return FolderFull ? -1 : (ssize_t)fwrite(bytes, 1, count, static_cast<FILE*>(file));
}
static ssize_t ReadBack(void* file, char* bytes, size_t count) {
    return (ssize_t)fread(bytes, 1, count, static_cast<FILE*>(file));
}
static int SeekBack(void* file, off64_t* offset, int whence) {
    int result = fseeko(static_cast<FILE*>(file), *offset, whence);
    *offset = ftello(static_cast<FILE*>(file));
    return result;
}

TEST(JsonTest, StationListsEachUnitOnceAfterTheFolderWasFull) {
    JsonEnable(true);
    UnitSpool spool;
    JsonSpoolOpen(&spool);
    ASSERT_NE(spool.file, nullptr);
    FILE* underneath = spool.file;
    spool.file = fopencookie(underneath, "w+", {ReadBack, WriteUnlessFull, SeekBack, nullptr});
    for (int32_t i = 0; i < 5; i++) {
        FolderFull = i == 0 || i == 2; // the first unit, then the third
        std::string name = "U" + std::to_string(i);
        JsonSpoolUnit(&spool, StationUnit{name.c_str(), i + 1, false, 0, OUTCOME_FLASHED, 0,
                                          nullptr, "", "k.log", RECORD_NOT_ASKED});
    }
    FolderFull = false;
    int32_t counts[OUTCOME_END] = {};
    counts[OUTCOME_FLASHED] = 5;
    testing::internal::CaptureStdout();
    JsonStation(StationCounts{counts, OUTCOME_FLASHED, 0, 0, nullptr}, &spool, nullptr);
    PlatformStandardOutputFlush();
    JsonSpoolClose(&spool);
    fclose(underneath);
    JsonEnable(false);
    std::string line = testing::internal::GetCapturedStdout();
    std::string units = line.substr(line.find("\"units\":["));
    std::string expected = "\"units\":[";
    for (int32_t i = 0; i < 5; i++) {
        expected += std::string(i > 0 ? "," : "") + "{\"frontend\":\"U" + std::to_string(i) +
                    "\",\"unit\":" + std::to_string(i + 1) +
                    ",\"serial\":null,\"outcome\":\"flashed\",\"exit_status\":0,\"message\":" +
                    "\"\",\"log\":\"k.log\",\"recorded\":null}";
    }
    EXPECT_EQ(units, expected + "]}\n");
}
#endif
