// Texts that come from the SDK or a device (names, the revision, error
// texts) as the console, the screen and the log show them: control
// characters never reach a terminal or forge a line of the log.
#pragma once

#include <cstddef>

// Whether text holds a C0 control character but tab, DEL, or a C1 control
// character (U+0080 to U+009F, in UTF-8).
bool HoldsControls(const char* text);

// text with each of those written visibly: "\n", "\r", the others "\xHH"
// byte by byte; into at most capacity bytes with its NUL, cut at a whole
// escape. The same everywhere, so that a name reads alike in the log, on the
// console and on the station's screen.
void EscapeControls(const char* text, char* out, size_t capacity);

// text itself where it holds no control character (the same bytes, so that
// every message stays as it was), else its escaped form in one of a few
// buffers that the next calls reuse in turn: for one message at a time.
const char* ShownText(const char* text);
