#include "output/publish.h"

#include "output/log_line.h"
#include "output/shown_text.h"
#include "platform/platform.h"

enum { PUBLISH_END_MS = 10000 };

static const char* Command; // null: nothing is published
static bool Said;           // its end was logged
static bool NotStarted;

static void SayEnded(const char* tag, int status) {
    if (!Said) {
        Said = true;
        LogFormat(tag, "Publishing to [%s] ended, exit status %d", ShownText(Command), status);
    }
}

void PublishStart(const char* command) {
    Command = command;
    Said = false;
    NotStarted = !PlatformPublisherStart(command);
}

void PublishCheck(const char* tag) {
    int status = -1;
    if (Command != nullptr && !Said && (NotStarted || PlatformPublisherEnded(&status))) {
        SayEnded(tag, status);
    }
}

void PublishEnd(const char* tag) {
    if (Command == nullptr) {
        return;
    }
    int status = -1;
    if (NotStarted) {
        SayEnded(tag, status);
    } else if (!PlatformPublisherFinish(PUBLISH_END_MS, &status)) {
        LogFormat(tag, "Publishing to [%s] did not end within %d seconds, left running",
                  ShownText(Command), PUBLISH_END_MS / 1000);
    } else if (status != 0) {
        SayEnded(tag, status);
    }
    Command = nullptr;
}
