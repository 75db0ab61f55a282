// How the records (the history, the JSON) write a time and a text from
// outside: local time with its offset, and valid UTF-8.
#pragma once

#include <cstddef>

// Local time, ISO 8601 with the UTC offset ("2026-12-07T12:00:00+01:00").
void LocalTimestamp(char text[32]);

// Copies text as valid UTF-8: each byte that begins no UTF-8 character
// becomes U+FFFD, and the copy ends before a character that would not fit
// in capacity bytes with the NUL.
void CleanUtf8(char* out, size_t capacity, const char* text);
