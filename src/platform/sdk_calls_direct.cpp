// Where the platform has one calling convention, the SDK's entries are
// called as they are.
#include "platform/platform.h"

void PlatformAdaptSdkCalls(SdkBinding*) {}
