// Keeping Windows awake and the session alive while the frontend is being
// written. Neither stops a lid close or the power button.
#include "platform/windows/windows_platform.h"

void PlatformFlashBegins() {
    // The display too: on Modern Standby machines an idle display-off is
    // the way into standby.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
    HoldSessionEnd(true);
    FinePausesBegin();
}

void PlatformFlashEnds() {
    FinePausesEnd();
    HoldSessionEnd(false);
    SetThreadExecutionState(ES_CONTINUOUS);
}
