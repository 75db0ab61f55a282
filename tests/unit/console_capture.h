// The console as a test reads it: written by a thread of its own, so wait
// for it before taking what standard output got.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

inline std::string CapturedConsole() {
    PlatformConsoleFlush();
    return testing::internal::GetCapturedStdout();
}
