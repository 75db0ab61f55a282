#include "output/log_line.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

#include "console_capture.h"
#include "temp_dir.h"

class LogLineTest : public ::testing::Test {
  protected:
    TempDir dir;
    void TearDown() override { CloseLog(); }

    std::string LogBytes() { return FileText("kovi_kestrune.log"); }
};

TEST_F(LogLineTest, RecordIsTagMessageAndCrCrLf) {
    testing::internal::CaptureStdout();
    LogLine("main", "Call Close");
    LogLine("Kestrune", "");
    EXPECT_EQ(CapturedConsole(), "Call Close\r\n\r\n");
    EXPECT_EQ(LogBytes(), "main, Call Close\r\r\nKestrune, \r\r\n");
}

TEST_F(LogLineTest, LineFeedInsideAMessageIsStoredAsCrLf) {
    testing::internal::CaptureStdout();
    LogLine("Kestrune", "WARNING: Connect the power to the Frontend !\n\n");
    EXPECT_EQ(CapturedConsole(), "WARNING: Connect the power to the Frontend !\n\n\r\n");
    EXPECT_EQ(LogBytes(), "Kestrune, WARNING: Connect the power to the Frontend !\r\n\r\n\r\r\n");
}

TEST_F(LogLineTest, PercentSignsAreWrittenLiterally) {
    testing::internal::CaptureStdout();
    LogLine("main", "%s%n%d%%");
    EXPECT_EQ(CapturedConsole(), "%s%n%d%%\r\n");
    EXPECT_EQ(LogBytes(), "main, %s%n%d%%\r\r\n");
}

TEST_F(LogLineTest, ExistingLogIsReplaced) {
    {
        std::ofstream old("kovi_kestrune.log", std::ios::binary);
        old << std::string(5000, 'x');
    }
    testing::internal::CaptureStdout();
    LogLine("main", "first");
    CapturedConsole();
    EXPECT_EQ(LogBytes(), "main, first\r\r\n");
}

TEST_F(LogLineTest, LongFormattedMessageIsCutAt1023Characters) {
    std::string longText(5000, 'e');
    MessageBuffer[MESSAGE_BUFFER_SIZE - 1] = 'Z';
    testing::internal::CaptureStdout();
    LogFormat("Kestrune", "errorcode = %d (%s)", 7, longText.c_str());
    std::string console = CapturedConsole();
    std::string expected = ("errorcode = 7 (" + longText).substr(0, 1023);
    EXPECT_EQ(console, expected + "\r\n");
    EXPECT_EQ(LogBytes(), "Kestrune, " + expected + "\r\r\n");
    EXPECT_EQ(MessageBuffer[MESSAGE_BUFFER_SIZE - 1], '\0');
}
