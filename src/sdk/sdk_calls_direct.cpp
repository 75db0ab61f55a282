// Where the platform has one calling convention, the SDK's entries are
// called as they are.
#include "sdk/sdk_binding.h"

void AdaptSdkCalls(SdkBinding*, void*) {}
