#include "flash/phases.h"

#include <cstdio>
#include <cstring>

#include "output/log_line.h"
#include "platform/platform.h"

const char* const FlashTag = "Kestrune";

bool CompareDeviceId(uint16_t devId, int32_t serial, char devIdText[DEVICE_ID_TEXT_SIZE],
                     char serialText[DEVICE_ID_TEXT_SIZE]) {
    snprintf(devIdText, DEVICE_ID_TEXT_SIZE, "%d", devId);
    snprintf(serialText, DEVICE_ID_TEXT_SIZE, "%d", serial);
    return strncmp(devIdText, serialText, 3) == 0;
}

int RecordedFlashResult(FlashResult result) {
    return result == FLASH_DECLINED ? 0 : result;
}

const char* StopBeforeFlashing(const char* tag) {
    if (!PlatformStopRequested()) {
        return nullptr;
    }
    return LogFailureLine(
        tag, "\n\nStopped by the operator before flashing, nothing was sent to the frontend");
}
