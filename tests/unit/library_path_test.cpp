#include "sdk/library_path.h"

#include <gtest/gtest.h>
#include <string>

static void SetPath(PathUnit* path, const std::string& text) {
    for (size_t i = 0; i <= text.size(); i++) {
        path[i] = (unsigned char)text[i];
    }
}

TEST(LibraryPath, AppendsWhenTheWholeFits) {
    PathUnit path[16] = {};
    SetPath(path, "C:\\sys");
    ASSERT_TRUE(AppendToPath(path, 16, "\\Kovi.dll"));
    char message[LIBRARY_PATH_UNITS + 1];
    PathUnit full[LIBRARY_PATH_UNITS] = {};
    for (int i = 0; i < 16; i++) {
        full[i] = path[i];
    }
    PathToMessage(full, message);
    EXPECT_STREQ(message, "C:\\sys\\Kovi.dll");
}

TEST(LibraryPath, NeverWritesPastTheBuffer) {
    // 6 + 9 units and the terminator need 16; 15 is one too few.
    PathUnit path[17];
    for (PathUnit& unit : path) {
        unit = 0xBEEF;
    }
    SetPath(path, "C:\\sys");
    EXPECT_FALSE(AppendToPath(path, 15, "\\Kovi.dll"));
    EXPECT_EQ(path[6], 0) << "path left unchanged";
    EXPECT_EQ(path[15], 0xBEEF);
    EXPECT_TRUE(AppendToPath(path, 16, "\\Kovi.dll"));
    EXPECT_EQ(path[15], 0);
    EXPECT_EQ(path[16], 0xBEEF);
}

TEST(LibraryPath, UnterminatedPathIsRefused) {
    PathUnit path[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(AppendToPath(path, 4, ""));
}

TEST(LibraryPath, MessageKeepsTheLowByteOfEachUnit) {
    PathUnit path[LIBRARY_PATH_UNITS] = {'C', 0x13A, ':', 0x100, 'x'};
    char message[LIBRARY_PATH_UNITS + 1];
    PathToMessage(path, message);
    EXPECT_STREQ(message, "C::") << "0x13A keeps 0x3A; 0x100 ends the text";
}

TEST(LibraryPath, MessageOfAFullBufferIsTerminated) {
    PathUnit path[LIBRARY_PATH_UNITS];
    for (PathUnit& unit : path) {
        unit = 'a';
    }
    char message[LIBRARY_PATH_UNITS + 2];
    message[LIBRARY_PATH_UNITS + 1] = 'Z';
    PathToMessage(path, message);
    EXPECT_EQ(std::string(message), std::string(LIBRARY_PATH_UNITS, 'a'));
    EXPECT_EQ(message[LIBRARY_PATH_UNITS + 1], 'Z');
}
