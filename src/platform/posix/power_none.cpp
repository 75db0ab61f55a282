// Built without libsystemd: nothing keeps the machine awake during a flash.
#include "platform/posix/posix_platform.h"

void HoldWakeLock() {}
void ReleaseWakeLock() {}
