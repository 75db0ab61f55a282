// What the Windows platform files share among themselves.
#pragma once

#include <windows.h>

// Set when the operator asks to stop; pauses and the key read wait on it.
extern HANDLE StopEvent;

// A stop asked for (Ctrl-C, the window told to close, the session ending);
// the operator's second Ctrl-C or Ctrl-Break (fromKeyboard) ends the process
// at once.
void RequestStop(bool fromKeyboard);
// Waits until the run has ended, as long as Windows lets a process that is
// being ended wait.
void AwaitEndOfRun();

// From the start to the end of the process a hidden window turns a window
// close, taskkill without /F and a session end into a stop; while told to
// hold, it also holds the session end off.
void HoldSessionEnd(bool hold);

// A file by its UTF-8 path, as CreateFileW takes it. Handles are never
// inherited by the SDK's child processes. Device paths are refused as
// ERROR_INVALID_NAME.
HANDLE OpenUtf8(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags);

// A timer as fine as the pauses need, for the span of the flash.
void FinePausesBegin();
void FinePausesEnd();

// QuickEdit off while the tool runs, and back as it was at the end.
void ConsoleSetUp();
void ConsoleRestore();
// When the tool is alone on its console (started by a double-click), the
// window would close with the outcome on it: wait for a key first.
void ConsoleHoldWindowOpen();

// NUL, inheritable, for a child's standard handle.
HANDLE OpenNul(DWORD access);
// Starts program with standard (input, output, error), which it inherits
// and nothing else: not the station's own output, which a caller that
// killed the station reads to its end. flags adds to CreateProcessW's (0:
// in the station's console and process group, where the operator's Ctrl-C
// reaches it itself).
bool StartWithHandles(const wchar_t* program, wchar_t* line, HANDLE standard[3], DWORD flags,
                      PROCESS_INFORMATION* process);
