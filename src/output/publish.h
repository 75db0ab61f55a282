// --publish COMMAND: the run's JSON Lines fed to a command of the
// operator's (mosquitto_pub -l ...), which the console's stops never
// reach, so that a station stopped in order still delivers its last
// results and its last event. It never holds the flash: a command that
// cannot be started or ends early is logged once, and the records are in
// the history whatever it does.
#pragma once

// Starts the command, before the log is open; the JSON then goes to it
// (see JsonEnable). A command that could not be started is logged at the
// first check.
void PublishStart(const char* command);
// Whether the command has ended before its time: logged once. Never waits.
void PublishCheck(const char* tag);
// At the end, after the last event: its input closed once all is written,
// and up to ten seconds for it to end (then it is left running).
void PublishEnd(const char* tag);
