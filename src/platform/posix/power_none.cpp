// Built without libsystemd: nothing keeps the machine awake during a flash.
#include "platform/platform.h"

void PlatformFlashBegins() {}
void PlatformFlashEnds() {}
