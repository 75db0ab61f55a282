// Where the SDK library is loaded from.
#pragma once

#include <cstddef>

#include "platform/platform.h"

enum { LIBRARY_PATH_UNITS = 260 };

// Appends the ASCII suffix to the NUL-terminated path if the whole fits in
// capacity units; false, with the path unchanged, if it does not.
bool AppendToPath(PathUnit* path, size_t capacity, const char* suffix);

// Builds the system directory joined with the library's file name into path.
// Returns 0, or the error code of the failure.
uint32_t BuildLibraryPath(PathUnit path[LIBRARY_PATH_UNITS]);

// The path as a loggable text: the low byte of each unit, up to the first
// zero byte. message holds at least LIBRARY_PATH_UNITS + 1 bytes.
void PathToMessage(const PathUnit path[LIBRARY_PATH_UNITS], char* message);
